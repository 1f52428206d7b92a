@echo off
rem Builds OKAVU.exe with Visual Studio 2022 (x64): build-msvc\Release\OKAVU.exe.
rem Usage: build.bat [update-host] [version] [public-key.pem]
rem   e.g. build.bat updates.example.com 1.6.0.0 C:\keys\publisher.pub.pem
rem With the publisher's public key (EC P-256, PEM) the build installs only updates signed with its private
rem half (docs\publishing.md); without it, the build carries no key, whatever an earlier run configured.
rem With the unit tests: cmake --workflow --preset msvc-tests. The MSI for per-machine installs is made
rem on Debian with wixl (cmake --build build --target msi); see docs\deploying.md.
setlocal
set "HOST=%~1"
if "%HOST%"=="" set "HOST=updates.example.invalid"
set "VERSION=%~2"
if "%VERSION%"=="" set "VERSION=1.6.0.0"
set "KEY=%~3"
cmake --preset msvc -DOKAVU_UPDATE_HOST=%HOST% -DOKAVU_VERSION=%VERSION% "-DOKAVU_UPDATE_PUBLIC_KEY=%KEY%" || exit /b 1
cmake --build --preset msvc || exit /b 1
if "%KEY%"=="" (set "SIGNED=no publisher key") else (set "SIGNED=publisher key %KEY%")
echo Built build-msvc\Release\OKAVU.exe (version %VERSION%, update host %HOST%, %SIGNED%)
