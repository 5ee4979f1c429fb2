@echo off
rem Undoes scripts\register-sim.cmd: removes the current user's registration
rem of the simulated device service, so programs reach the real
rem portable-device service again.
setlocal
set "bin=%~1"
if "%bin%"=="" set "bin=%~dp0..\build\bin"
regsvr32 /u /s "%bin%\kivosim.dll"
if errorlevel 1 (
  echo unregister-sim: regsvr32 failed 1>&2
  exit /b 1
)
echo the simulated device service is no longer registered for %USERNAME%
