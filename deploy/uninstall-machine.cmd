@echo off
rem Removes what OKAVU Quillmere's per-user install keeps for the whole machine: the Run value under HKLM
rem that starts every user's watcher, and the log-on tasks "OKAVU Quillmere" and "OKAVU Quillmere once".
rem Run it once per machine, as administrator; each user's own part is uninstall-user.cmd's. The update
rem policy is left to the tool that set it. A per-machine install is removed with msiexec /x, and the
rem Run value it wrote (AUTOSTART=1) is left to it.
rem Exit code 0: everything that was there is gone, or nothing was there. Exit code 1: something stayed.
rem Written without "||", which some command interpreters run after a command that succeeded.
setlocal EnableExtensions
rem The system's own tools, never a same-named script in the folder this runs from.
set "REG=%SystemRoot%\System32\reg.exe"
set "SCHTASKS=%SystemRoot%\System32\schtasks.exe"
set "FAILED=0"
set "RUN=HKLM\Software\Microsoft\Windows\CurrentVersion\Run"

rem /reg:64: the view the programs read, also when a 32-bit deployment agent runs this script.
set "TYPE="
for /f "tokens=1,2,3" %%A in ('%REG% query "%RUN%" /v "OKAVU Quillmere" /reg:64 2^>nul') do (
  if /i "%%A %%B"=="OKAVU Quillmere" set "TYPE=%%C"
)
if not defined TYPE goto run_done
rem The per-user recipe writes REG_EXPAND_SZ, for each user's %%LOCALAPPDATA%%; the per-machine install's
rem value is REG_SZ and goes with it.
if /i not "%TYPE%"=="REG_SZ" goto run_remove
%REG% query "HKLM\SOFTWARE\OKAVU\Quillmere" /v ManagedInstall /reg:64 >nul 2>&1
if errorlevel 1 goto run_remove
echo Left the Run value "OKAVU Quillmere": the per-machine install owns it ^(msiexec /x removes it^).
goto run_done
:run_remove
%REG% delete "%RUN%" /v "OKAVU Quillmere" /f /reg:64 >nul 2>&1
if errorlevel 1 (echo Could not remove the Run value "OKAVU Quillmere" of %RUN%.& set "FAILED=1") else (
  echo Removed the Run value "OKAVU Quillmere" of %RUN%.)
:run_done

call :remove_task "OKAVU Quillmere"
call :remove_task "OKAVU Quillmere once"

if "%FAILED%"=="1" exit /b 1
exit /b 0

rem Deletes the task %1; a task that did not go is still in the system's task folder.
:remove_task
%SCHTASKS% /Delete /TN "%~1" /F >nul 2>&1
if not errorlevel 1 (
  echo Removed the task "%~1".
  exit /b 0
)
set "TASKS=%SystemRoot%\System32\Tasks"
if exist "%SystemRoot%\Sysnative\Tasks\" set "TASKS=%SystemRoot%\Sysnative\Tasks"
if exist "%TASKS%\%~1" (
  echo Could not remove the task "%~1".
  set "FAILED=1"
)
exit /b 0
