
-- Placeholder until the install logic lands: proves the host runs Start and Update.
function Start()
    print("Start")
end

function Update(time)
    print(time)
    ExitApp()
end
