
-- Carried by bench_launcher: does nothing and never calls ExitApp, so the splash stays up until
-- the benchmark ends the process.
function Start()
end

function Update(time)
end
