
-- 启动脚本：首次运行时下载并解压客户端，之后每次运行直接启动客户端。
-- Bootstrap: the first run downloads and extracts the client package; every run starts the client.
-- A mark file lives from the start of an install until its extraction has succeeded, so an
-- install that was cut short (killed, closed, failed) is done again by the next run.

function Start()
    print("Start")
end

-- Ends the current step; the reason is for the player, so it carries no position.
local function Fail(reason)
    error(reason, 0)
end

-- An error's text without Lua's position in front ([string "..."]:12: ).
local function Reason(err)
    local text = tostring(err)
    return (text:gsub('^%[string ".-"%]:%d+: ', ""))
end

-- Requests for the package in one run, and the usual waits between them, in seconds: each is
-- drawn between half and all of its length, so that launchers that failed together (a server
-- down for everyone) do not all come back to it at the same moment.
local Attempts = 5
local Waits = { 2, 4, 8, 16 }
-- A longer wait asked by the server (Retry-After) is not waited for; the usual one is.
local LongestRetryAfter = 60
local Closing = "download cancelled: the launcher is closing"
-- libcurl's result code for a part that does not start where it was asked (CURLE_RANGE_ERROR).
local RangeRefused = 33

-- libcurl's result codes (CURLcode, fixed across its versions) for failures that a later request
-- may mend, with what the player is told while waiting.
local CannotConnect = "无法连接服务器"
local Interrupted = "网络连接中断"
local TransientCodes = {
    [5] = CannotConnect, -- COULDNT_RESOLVE_PROXY
    [6] = CannotConnect, -- COULDNT_RESOLVE_HOST
    [7] = CannotConnect, -- COULDNT_CONNECT: refused, or no route
    [18] = Interrupted, -- PARTIAL_FILE: the body ended before its announced length
    [28] = "网络连接超时", -- OPERATION_TIMEDOUT: connecting, or no byte for 30 s
    [52] = Interrupted, -- GOT_NOTHING: closed before any answer
    [55] = Interrupted, -- SEND_ERROR
    [56] = Interrupted, -- RECV_ERROR: reset
    [92] = Interrupted, -- HTTP2_STREAM: the stream was reset
}

-- Why a failed request may succeed later, for the status line; nil when it will not. A proxy
-- that refused the tunnel answered for the server: its status decides as the server's would.
local function Transient(outcome)
    local status, who = outcome.status, "服务器"
    if outcome.proxyStatus and outcome.proxyStatus >= 300 then
        status, who = outcome.proxyStatus, "代理服务器"
    end
    if status == 408 or status == 429 or (status and status >= 500 and status <= 599) then
        return who .. "暂时无法响应（HTTP " .. status .. "）"
    end
    if status and status >= 400 then
        return nil
    end
    return TransientCodes[outcome.code]
end

-- The seconds a Retry-After value asks for (a number of seconds or an HTTP date), when that is
-- no more than LongestRetryAfter; nil otherwise.
local function RetryAfter(value)
    if not value then
        return nil
    end
    local seconds = tonumber(value:match("^%d+$"))
    if not seconds then
        local date = require("cURL").getdate(value)
        seconds = date and date - os.time()
    end
    if seconds and seconds <= LongestRetryAfter then
        -- 0, or a date already past, would spend every attempt at once.
        return math.max(1, seconds)
    end
    return nil
end

-- A usual wait drawn between half and all of its length, in whole milliseconds.
local function Spread(seconds)
    return math.floor((seconds / 2 + Random() * seconds / 2) * 1000 + 0.5) / 1000
end

-- Seconds as the player reads them: whole, or with one decimal.
local function SecondsText(seconds)
    if seconds == math.floor(seconds) then
        return tostring(seconds)
    end
    return string.format("%.1f", seconds)
end

-- The total bytes of a Content-Range ("bytes 0-99/1000", "bytes */1000"); nil when not given.
local function RangeTotal(range)
    return range and tonumber(range:match("/(%d+)$"))
end

local MiB = 1024 * 1024
local GiB = 1024 * MiB

-- Bytes in MB, or in GB from a gigabyte of `scale` on, with one decimal; and the unit.
local function Amount(bytes, scale)
    if scale >= GiB then
        return string.format("%.1f", bytes / GiB), "GB"
    end
    return string.format("%.1f", bytes / MiB), "MB"
end

-- What each file may take beyond its bytes: the rest of its last cluster, at most.
local ClusterSlack = 4096

-- Fails, naming the disk, when the one that holds `folder` has fewer than `needed` bytes free. A
-- system that cannot tell stops nothing: a disk that then fills gives its own reason.
local function CheckRoom(folder, needed)
    local free, volume = FreeSpace(folder)
    if not free then
        print("无法获知磁盘剩余空间：" .. tostring(volume))
        return
    end
    if needed > free then
        local scale = math.max(needed, free)
        local neededText, unit = Amount(needed, scale)
        Fail("磁盘空间不足：还需要 " .. neededText .. " " .. unit .. "，" .. volume .. " 上只有 "
             .. Amount(free, scale) .. " " .. unit .. " 可用。请清理磁盘后重新打开启动器。")
    end
end

local function Speed(bytesPerSecond)
    if bytesPerSecond >= MiB then
        return string.format("%.1f MB/s", bytesPerSecond / MiB)
    end
    return string.format("%d KB/s", math.floor(bytesPerSecond / 1024 + 0.5))
end

local function TimeLeft(seconds)
    if seconds < 60 then
        return "剩余 " .. math.ceil(seconds) .. " 秒"
    end
    local minutes = math.ceil(seconds / 60)
    if minutes < 60 then
        return "剩余 " .. minutes .. " 分钟"
    end
    return "剩余 " .. math.floor(minutes / 60) .. " 小时 " .. minutes % 60 .. " 分钟"
end

-- The status line of one request: fed the progress counts, it shows the bytes done (the `have`
-- kept from an earlier run included), the speed and the time left. os.time() counts whole
-- seconds, so the text changes at most once a second, and the speed is measured between the
-- first samples of whole seconds, over the last few, so that it does not jump.
local function DownloadStatus(have)
    local window = 5
    local samples = {}
    local started, shown
    return function(dltotal, dlnow)
        local now = os.time()
        if now == shown then
            return
        end
        started = started or now
        if samples[1] and now < samples[#samples].second then
            samples = {} -- the clock was set back
        end
        if now ~= started then
            samples[#samples + 1] = { second = now, bytes = dlnow }
            while now - samples[1].second > window do
                table.remove(samples, 1)
            end
        end
        shown = now
        local done = have + dlnow
        local total = have + dltotal
        local text
        if dltotal > 0 then
            local doneText, unit = Amount(done, total)
            text = "已下载 " .. doneText .. " / " .. Amount(total, total) .. " " .. unit
        else
            local doneText, unit = Amount(done, done)
            text = "已下载 " .. doneText .. " " .. unit
        end
        local first, last = samples[1], samples[#samples]
        if first and last.second > first.second then
            local speed = (last.bytes - first.bytes) / (last.second - first.second)
            text = text .. " · " .. Speed(speed)
            if dltotal > 0 and speed > 0 then
                text = text .. " · " .. TimeLeft((total - done) / speed)
            end
        end
        SetStatus(text)
    end
end

function Update(time)
    print(time)

    -- What the player is told when a step fails; the reason follows on a line of its own.
    local failure = "游戏客户端安装失败。"

    local ok, err = pcall(function()
        local cURL = require("cURL")

        -- Everything lives below the user's folder the build chose (Documents unless
        -- LAUNCHER_INSTALL_ROOT says otherwise), wherever the system keeps it.
        local diskWritablePath, folderError = UserFolder("@LAUNCHER_INSTALL_ROOT@")
        if not diskWritablePath then
            Fail(folderError)
        end

        -- Downloads url into output_file. With `resume` the bytes already there are kept and
        -- only the rest is asked for; a server that cannot send the rest gets asked for all of it.
        -- A failure that a later request may mend is tried again, continuing from the bytes
        -- written so far, up to Attempts requests in all, as is a part that ends before the
        -- package does. With a `pinned` SHA-256, gives the file's, taken from the blocks as they
        -- are written (the bytes kept hashed first), so the archive is not read a second time.
        -- A kept file that is the whole package is not asked for again: with a pin, one whose
        -- SHA-256 is the pinned one; without, one as long as the server says the package is, when
        -- `trustKept`. Gives then true as its second result. Where the server announces the
        -- package's size, `room` (when given) is called with the bytes still to come, before any
        -- of them is written.
        local function DownloadFile(url, output_file, resume, pinned, trustKept, room)
            local hashing = pinned ~= ""
            local sha, hashed -- the hash of the file's first `hashed` bytes

            -- Makes sha the hash of the file's first `have` bytes, which it already holds.
            local function HashKept(have)
                if sha and hashed == have then
                    return
                end
                local reason
                sha, reason = Sha256()
                if not sha then
                    Fail(reason)
                end
                hashed = 0
                if have > 0 then
                    local added, fileReason = sha:update_file(output_file)
                    if not added then
                        Fail(fileReason)
                    end
                    hashed = have
                end
            end

            -- One request: the whole package (200), or with `append` the rest after the bytes the
            -- file has (206). Gives what happened: the status, the bytes kept, libcurl's result
            -- code, and the failure's text if there is one.
            local function Fetch(append)
                local file, openError = io.open(output_file, append and "ab" or "wb+")
                if not file then
                    Fail(openError)
                end
                local have = 0
                if append then
                    -- The host's seek counts in 64 bits on Windows too; a size that cannot be had
                    -- leaves only a whole download sure to be right.
                    have = file:seek("end")
                    if not have or have < 0 then
                        file:close()
                        return Fetch(false)
                    end
                end
                if hashing then
                    HashKept(have)
                    if have > 0 then
                        local digest, peekError = sha:hexdigest_so_far()
                        if not digest then
                            Fail(peekError)
                        end
                        if digest == pinned then
                            file:close()
                            return { have = have, complete = true }
                        end
                    end
                end
                local outcome = { have = have }
                local expected = have > 0 and 206 or 200
                local showStatus = DownloadStatus(have)
                local easy = cURL.easy_init()
                easy:setopt_url(url)
                easy:setopt_followlocation(true)
                easy:setopt_resume_from(have)
                local done, performError = pcall(easy.perform, easy, {
                    -- Each response starts with its status line; only the expected one carries
                    -- the package.
                    headerfunction = function(line)
                        local status = tonumber(line:match("^HTTP/%S+%s+(%d%d%d)"))
                        if status then
                            outcome.status = status
                            outcome.retryAfter = nil
                            outcome.range = nil
                        end
                        local retryAfter = line:lower():match("^retry%-after:%s*(.-)%s*$")
                        if retryAfter then
                            outcome.retryAfter = retryAfter
                        end
                        local range = line:lower():match("^content%-range:%s*(.-)%s*$")
                        if range then
                            outcome.range = range
                        end
                        -- The bytes to come, announced before the first of them is written.
                        local coming = tonumber(line:lower():match("^content%-length:%s*(%d+)"))
                        if room and coming and outcome.status == expected then
                            room(coming)
                        end
                    end,
                    writefunction = function(str)
                        if outcome.status ~= expected then
                            Fail("HTTP " .. tostring(outcome.status))
                        end
                        local written, writeError = file:write(str)
                        if not written then
                            Fail(output_file .. ": " .. writeError)
                        end
                        if sha then
                            local added, hashError = sha:update(str)
                            if not added then
                                Fail(hashError)
                            end
                            hashed = hashed + #str
                        end
                    end,
                    progressfunction = function(dltotal, dlnow, ultotal, ulnow)
                        -- Without an announced size there is nothing to show; the bar shows the
                        -- whole package, the bytes kept included.
                        if dltotal > 0 and outcome.status == expected then
                            SetProgress((have + dlnow) / (have + dltotal))
                        end
                        if outcome.status == expected then
                            showStatus(dltotal, dlnow)
                        end
                        return 0
                    end,
                })
                outcome.code, outcome.proxyStatus = easy:last_result()
                -- Buffered bytes reach the disk only here, so a full disk may show only now.
                local closed, closeError = file:close()
                if not done then
                    -- An error status is the reason, whatever libcurl then made of its body
                    -- (with a range asked for, it refuses any body without the range).
                    local status = outcome.status
                    local refused = status and status >= 300 and status ~= expected
                    outcome.fault = refused and "HTTP " .. status or performError
                    return outcome
                end
                if not closed then
                    Fail(output_file .. ": " .. closeError)
                end
                if outcome.status ~= expected then
                    outcome.fault = "HTTP " .. tostring(outcome.status)
                elseif expected == 206 then
                    -- A part must reach the package's last byte; one that ends before is only
                    -- the first of more.
                    local last = tonumber((outcome.range or ""):match("^bytes%s+%d+%-(%d+)/%d+$"))
                    local total = RangeTotal(outcome.range)
                    if last and total and last + 1 < total then
                        outcome.short = true
                        outcome.fault = "the server's part ends at byte " .. last .. " of " .. total
                    end
                end
                return outcome
            end

            local append = resume
            for attempt = 1, Attempts do
                local outcome = Fetch(append)
                -- Nothing after the kept bytes (416), and the package as long as they are.
                local kept = outcome.complete or (not hashing and trustKept
                    and outcome.status == 416 and outcome.have > 0
                    and RangeTotal(outcome.range) == outcome.have)
                if kept or not outcome.fault then
                    if kept then
                        print("压缩包已完整，不再下载：" .. output_file)
                    end
                    if not sha then
                        return nil, kept
                    end
                    local digest, hashError = sha:hexdigest()
                    if not digest then
                        Fail(hashError)
                    end
                    return digest, kept
                end
                -- The server cannot send the rest: it ignores ranges (200) or sends another part
                -- (libcurl refuses that 206), or the file here is as long as the package or
                -- longer (416), so it is not a part of it. The next request asks for it whole.
                local status = outcome.status
                local whole = outcome.have > 0 and (status == 200 or status == 416
                    or (status == 206 and outcome.code == RangeRefused))
                local why = not whole and not outcome.short and Transient(outcome)
                if attempt == Attempts or not (whole or outcome.short or why) then
                    error(outcome.fault, 0)
                end
                local turn = "（第 " .. attempt + 1 .. " 次，共 " .. Attempts .. " 次）"
                local reason = Reason(outcome.fault)
                if whole then
                    print("下载失败：" .. reason .. "；重新下载整个压缩包" .. turn)
                    append = false
                elseif outcome.short then
                    -- The server answered, only with less: the rest is asked for at once.
                    print("下载未完成：" .. reason .. "；继续下载其余部分" .. turn)
                    append = true
                else
                    local wait = RetryAfter(outcome.retryAfter) or Spread(Waits[attempt])
                    print("下载失败：" .. reason .. "；" .. SecondsText(wait) .. " 秒后重试" .. turn)
                    -- In milliseconds, the part of a second first, so that the countdown then
                    -- shows whole seconds.
                    local left = math.floor(wait * 1000 + 0.5)
                    while left > 0 do
                        SetStatus(why .. "，" .. math.ceil(left / 1000) .. " 秒后重试" .. turn)
                        local step = (left - 1) % 1000 + 1
                        if not Sleep(step / 1000) then
                            Fail(Closing)
                        end
                        left = left - step
                    end
                    SetStatus("正在重试" .. turn)
                    append = true
                end
            end
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

        -- The package to install: its URL, whose last segment names the archive here too, and
        -- the folder it holds.
        -- local pcexename = "windows_pc_fjord_202503021120.zip"
        -- local exePath = "windows_pc_fjord"
        -- local pcexename = "windows_pc_tundra_202504110905.zip"
        -- local exePath = "windows_pc_tundra"
        local packageUrl = "@LAUNCHER_PACKAGE_URL@"
        local pcexename = packageUrl:match("[^/]+$")
        local exePath = "windows_pc_halden"
        local packageSha256 = "@LAUNCHER_PACKAGE_SHA256@"
        -- The package's size and what it extracts to, in bytes, when the build pinned them.
        local packageSize = tonumber("@LAUNCHER_PACKAGE_SIZE@")
        local installedSize = tonumber("@LAUNCHER_INSTALLED_SIZE@")

        local versionPath = diskWritablePath .. "/" .. "game/" .. exePath .. "/patch/version.json"
        local filePath = diskWritablePath .. "/" .. pcexename
        local markPath = diskWritablePath .. "/" .. exePath .. ".installing"
        local clientFolder = diskWritablePath .. "/game/" .. exePath .. "/win32"
        local client = clientFolder .. "/game.exe"

        local installed = file_exists(versionPath) and not file_exists(markPath)
        -- A client taken away from a complete install (a virus scanner's quarantine, a player's
        -- delete) would fail to start on every run: it is installed again.
        local clientGone = installed and not file_exists(client)
        if clientGone then
            print("客户端程序不存在，重新安装：" .. client)
        end
        if not installed or clientGone then
            -- What the mark holds when the last run took a kept archive for the whole package
            -- without a pin, and then did not get it extracted.
            local keptMark = "kept archive"
            local markFile = io.open(markPath, "rb")
            local markText = markFile and markFile:read("*a")
            if markFile then
                markFile:close()
            end
            -- An archive left by a cut install is that install's part of the package; one left
            -- by the install of a client that has gone since is the whole package.
            local resume = markFile ~= nil or clientGone
            -- Room for the package and the client, checked before anything is written. The
            -- client's part counts only where none of it is here yet; otherwise the archive's
            -- own list tells, against the files in place, before the extraction.
            local clientPart = 0
            if installedSize and not resume and not file_exists(versionPath) then
                clientPart = installedSize
            end
            if packageSize then
                local kept = 0
                local archive = resume and io.open(filePath, "rb")
                if archive then
                    kept = math.max(archive:seek("end") or 0, 0)
                    archive:close()
                end
                CheckRoom(diskWritablePath, math.max(packageSize - kept, 0) + clientPart)
            end
            local mark, markError = io.open(markPath, "wb")
            if not mark then
                Fail(markError)
            end
            mark:close()
            -- Unpinned, only a new download can show that an archive that would not extract
            -- was not damaged, so a kept one is taken as whole only every other time.
            local function RoomFor(coming)
                CheckRoom(diskWritablePath, coming + clientPart)
            end
            local digest, kept = DownloadFile(packageUrl, filePath, resume, packageSha256,
                                              markText ~= keptMark, RoomFor)
            if kept and packageSha256 == "" then
                -- Best effort: without the note the next run only trusts the archive once more.
                local note = io.open(markPath, "wb")
                if note then
                    note:write(keptMark)
                    note:close()
                end
            end
            if packageSha256 ~= "" then
                if digest ~= packageSha256 then
                    -- Gone, so that the next run downloads the package whole instead of resuming.
                    local removed, removeError = os.remove(filePath)
                    Fail("the package is damaged or not the expected one (SHA-256 " .. digest
                         .. ", expected " .. packageSha256 .. ")"
                         .. (removed and "" or "; " .. tostring(removeError)))
                end
            end
            -- What the extraction adds, from the archive's list, against the room left now.
            local gameFolder = diskWritablePath .. "/game"
            local total, entries, growth = ArchiveSize(filePath, gameFolder)
            if total then
                CheckRoom(diskWritablePath, growth + entries * ClusterSlack)
            end
            SetProgress(0)
            SetStatus("正在解压 0%")
            local shownPercent = 0
            local extracted, why = Unzip(filePath, gameFolder, function(progress)
                SetProgress(progress)
                local percent = math.floor(progress * 100)
                if percent ~= shownPercent then
                    shownPercent = percent
                    SetStatus("正在解压 " .. percent .. "%")
                end
            end)
            if not extracted then
                Fail(why or "cannot extract " .. filePath)
            end
            -- Unzip has put the client on the disk by now, so the mark may go; its removal is
            -- flushed too, or a power cut could bring it back and install once more.
            RemoveFileDurably(markPath)
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

        failure = "游戏客户端启动失败。"
        SetStatus("")
        local started, why = RunExecutable(client, clientFolder,
                                           "-screen-width 1560 -screen-height 720 -force-opengl",
                                           "-log")
        if not started then
            Fail(why or "cannot start " .. client)
        end
    end)

    if not ok then
        ShowMessage(failure .. "\n" .. Reason(err) .. (LogPath() and "\n日志文件：" .. LogPath() or ""))
        ExitApp(1)
        -- Raised again, so the failure also gets its line on the error stream.
        error(err, 0)
    end
    ExitApp()
end
