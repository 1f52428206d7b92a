@echo off
rem Builds OKAVU.exe with Visual Studio 2022 (x64): build-msvc\Release\OKAVU.exe.
rem Usage: build.bat [update-host] [version]   e.g. build.bat updates.example.com 1.6.0.0
rem With the unit tests: cmake --workflow --preset msvc-tests. The MSI for per-machine installs is made
rem on Debian with wixl (cmake --build build --target msi); see docs\deploying.md.
setlocal
set "HOST=%~1"
if "%HOST%"=="" set "HOST=updates.example.invalid"
set "VERSION=%~2"
if "%VERSION%"=="" set "VERSION=1.6.0.0"
cmake --preset msvc -DOKAVU_UPDATE_HOST=%HOST% -DOKAVU_VERSION=%VERSION% || exit /b 1
cmake --build --preset msvc || exit /b 1
echo Built build-msvc\Release\OKAVU.exe (version %VERSION%, update host %HOST%)
