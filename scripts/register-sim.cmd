@echo off
rem Registers the simulated device service for the current user only
rem (HKCU\Software\Classes, no administrator needed). On Windows the user's
rem registration takes precedence over the machine's, so programs started by
rem this user reach the sim instead of the real portable-device service until
rem scripts\unregister-sim.cmd is run. The folder holding kivosim.dll may be
rem given; by default it is build\bin beside this script's folder.
setlocal
set "bin=%~1"
if "%bin%"=="" set "bin=%~dp0..\build\bin"
if not exist "%bin%\kivosim.dll" (
  echo register-sim: no kivosim.dll in %bin% 1>&2
  exit /b 1
)
regsvr32 /s "%bin%\kivosim.dll"
if errorlevel 1 (
  echo register-sim: regsvr32 failed 1>&2
  exit /b 1
)
echo the simulated device service is registered for %USERNAME% from %bin%
