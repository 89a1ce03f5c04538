
-- 启动脚本：首次运行时下载并解压客户端，之后每次运行直接启动客户端。
-- Bootstrap: the first run downloads and extracts the client package; every run starts the client.

function Start()
    print("Start")
end

function Update(time)
    print(time)

    local cURL = require("cURL")

    -- Everything lives below the user's Documents folder.
    local diskWritablePath = "C:/Users/" .. os.getenv("USERNAME") .. "/Documents"

    local function DownloadFile(url, output_file)
        local file = io.open(output_file, "wb+")
        local easy = cURL.easy_init()
        easy:setopt_url(url)
        easy:perform({
            writefunction = function(str)
                file:write(str)
            end,
            progressfunction = function(dltotal, dlnow, ultotal, ulnow)
                -- Without an announced size there is nothing to show.
                if dltotal > 0 then
                    SetProgress(dlnow / dltotal)
                end
                return 0
            end,
        })
        file:close()
    end

    -- A file exists for us when it can be opened for reading.
    function file_exists(filename)
        local file = io.open(filename, "r")
        if file then
            file:close()
            return true
        end
        return false
    end

    print("diskWritablePath:", diskWritablePath)

    -- The package to install: archive name on the server, and the folder it holds.
    -- local pcexename = "windows_pc_fjord_202503021120.zip"
    -- local exePath = "windows_pc_fjord"
    -- local pcexename = "windows_pc_tundra_202504110905.zip"
    -- local exePath = "windows_pc_tundra"
    local pcexename = "windows_pc_halden_202505171539.zip"
    local exePath = "windows_pc_halden"
    local packageSha256 = "@LAUNCHER_PACKAGE_SHA256@"

    local versionPath = diskWritablePath .. "/" .. "game/" .. exePath .. "/patch/version.json"
    local filePath = diskWritablePath .. "/" .. pcexename

    if not file_exists(versionPath) then
        DownloadFile("@LAUNCHER_DOWNLOAD_SCHEME@://@LAUNCHER_DOWNLOAD_HOST@/client/pc/2100/exe/" .. pcexename, filePath)
        SetProgress(0)
        Unzip(filePath, diskWritablePath .. "/game", function(progress)
            SetProgress(progress)
        end)
        -- The archive stays until the next run, which removes it.
    else
        print("删除压缩包：" .. filePath)
        if file_exists(filePath) then
            -- Only a removal that happened is reported as one.
            local removed, reason = os.remove(filePath)
            if removed then
                print("成功删除压缩包：" .. filePath)
            else
                print("删除压缩包失败：" .. tostring(reason))
            end
        else
            print("压缩包已不存在，可能已被占用")
        end
    end

    RunExecutable(diskWritablePath .. "/game/" .. exePath .. "/win32/game.exe",
                  diskWritablePath .. "/game/" .. exePath .. "/win32",
                  "-screen-width 1560 -screen-height 720 -force-opengl", "-log")
    ExitApp()
end
