@echo off
rem Removes OKAVU Quillmere's per-user install for the user who runs it, in that user's own context (no
rem administrator rights): stops this session's watcher, then deletes the program folder
rem %LOCALAPPDATA%\OKAVU, leftover update helpers %TEMP%\OKAVU-updater-*.exe, the log folder
rem %LOCALAPPDATA%\OKAVU-wallpaper, the update state HKCU\Software\OKAVU\Quillmere and this user's own
rem Run value. A wallpaper file OKAVU-wallpaper.png stays while the desktop shows a file of that name.
rem What the machine owns (the HKLM Run value, the log-on tasks, the update policy, a per-machine
rem install) is left to uninstall-machine.cmd, to the tool that set it, or to msiexec /x.
rem Exit code 0: everything that was there is gone, or nothing was there. Exit code 1: the watcher did
rem not end (then nothing is removed: sign out and in, and run this again) or something stayed.
rem Written without "||", which some command interpreters run after a command that succeeded.
setlocal EnableExtensions
rem The system's own tools, never a same-named script in the folder this runs from.
set "REG=%SystemRoot%\System32\reg.exe"
rem Without the user's folders every path below would point at the root of a drive.
if not defined LOCALAPPDATA goto no_profile
if not defined TEMP goto no_profile
set "APP=%LOCALAPPDATA%\OKAVU"
set "LOGDIR=%LOCALAPPDATA%\OKAVU-wallpaper"
set "PICTURE=OKAVU-wallpaper.png"
set "FAILED=0"

rem The watcher runs from the program folder and holds its file, so it ends first. start /wait waits
rem for the windowless program too and returns its exit code: 0 it ended, 10 none ran in this session.
set "PROGRAM="
if exist "%APP%\OKAVU.exe" set "PROGRAM=%APP%\OKAVU.exe"
if exist "%APP%\OKAVUw.exe" set "PROGRAM=%APP%\OKAVUw.exe"
if not defined PROGRAM goto stopped
start "" /wait "%PROGRAM%" --stop
set "CODE=%errorlevel%"
if "%CODE%"=="0" (
  echo Stopped the watcher of this session.
  goto stopped
)
if "%CODE%"=="10" goto stopped
echo The watcher of this session did not end (%PROGRAM% --stop: exit code %CODE%); nothing was removed.
exit /b 1
:stopped

rem The desktop's current wallpaper, by file name: a path in another code page than the console's would
rem not compare whole, the name always does.
set "SHOWN="
for /f "tokens=1,2,*" %%A in ('%REG% query "HKCU\Control Panel\Desktop" /v Wallpaper 2^>nul') do (
  if /i "%%A"=="Wallpaper" set "SHOWN=%%~nxC"
)
set "KEEP=0"
if /i "%SHOWN%"=="%PICTURE%" set "KEEP=1"

rem The program folder; a wallpaper extracted into it (--extract) stays alone in it while shown.
if not exist "%APP%\" goto app_done
if "%KEEP%"=="1" if exist "%APP%\%PICTURE%" goto app_keep
rd /s /q "%APP%" 2>nul
if exist "%APP%\" (echo Could not remove %APP%.& set "FAILED=1") else (echo Removed %APP%.)
goto app_done
:app_keep
rem Inside the folder itself: the one place where * cannot mean another folder's files.
pushd "%APP%"
if /i "%CD%"=="%APP%" (
  for %%F in (*) do if /i not "%%~nxF"=="%PICTURE%" del /f /q "%%~fF" 2>nul
  for /d %%D in (*) do rd /s /q "%%~fD" 2>nul
)
popd
if exist "%APP%\*.exe" (echo Could not remove the programs in %APP%.& set "FAILED=1") else (
  echo Removed %APP% but %PICTURE%: the desktop shows it.)
:app_done

rem A helper that could not be deleted is still running: an update is being installed right now.
if not exist "%TEMP%\OKAVU-updater-*.exe" goto helpers_done
del /f /q "%TEMP%\OKAVU-updater-*.exe" 2>nul
if exist "%TEMP%\OKAVU-updater-*.exe" (echo An update helper is still running: %TEMP%\OKAVU-updater-*.exe stayed.& set "FAILED=1") else (
  echo Removed the update helpers from %TEMP%.)
:helpers_done

if not exist "%LOGDIR%\" goto log_done
rd /s /q "%LOGDIR%" 2>nul
if exist "%LOGDIR%\" (echo Could not remove %LOGDIR%.& set "FAILED=1") else (echo Removed %LOGDIR%.)
:log_done

rem The wallpaper file in the Pictures known folder, where Windows has it (redirected, or moved by a
rem folder backup): the "My Pictures" entry of the user's shell folders, expanded.
set "PICTURES="
for /f "tokens=1,2,3,*" %%A in ('%REG% query "HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders" /v "My Pictures" 2^>nul') do (
  if /i "%%A %%B"=="My Pictures" call set "PICTURES=%%D"
)
if not defined PICTURES goto pictures_done
if not exist "%PICTURES%\%PICTURE%" goto pictures_done
if "%KEEP%"=="1" (
  echo Kept %PICTURES%\%PICTURE%: the desktop shows it.
  goto pictures_done
)
del /f /q "%PICTURES%\%PICTURE%" 2>nul
if exist "%PICTURES%\%PICTURE%" (echo Could not remove %PICTURES%\%PICTURE%.& set "FAILED=1") else (
  echo Removed %PICTURES%\%PICTURE%.)
:pictures_done

%REG% query "HKCU\Software\OKAVU\Quillmere" >nul 2>&1
if errorlevel 1 goto state_done
%REG% delete "HKCU\Software\OKAVU\Quillmere" /f >nul 2>&1
if errorlevel 1 (echo Could not remove HKCU\Software\OKAVU\Quillmere.& set "FAILED=1") else (
  echo Removed HKCU\Software\OKAVU\Quillmere.)
:state_done

set "RUN=HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
%REG% query "%RUN%" /v "OKAVU Quillmere" >nul 2>&1
if errorlevel 1 goto run_done
%REG% delete "%RUN%" /v "OKAVU Quillmere" /f >nul 2>&1
if errorlevel 1 (echo Could not remove the Run value "OKAVU Quillmere" of %RUN%.& set "FAILED=1") else (
  echo Removed the Run value "OKAVU Quillmere" of %RUN%.)
:run_done

if "%FAILED%"=="1" exit /b 1
exit /b 0

:no_profile
echo LOCALAPPDATA or TEMP is not set: this is no user's session; nothing was removed.
exit /b 1
