@echo off
rem Runs the export-level suite on Windows against the shipped kivo.dll,
rem unchanged: registers the sim for the current user, runs every test
rem program in the folder (build\bin by default, or the one given), then
rem removes the registration again, whatever the outcome.
setlocal enabledelayedexpansion
set "bin=%~1"
if "%bin%"=="" set "bin=%~dp0..\build\bin"
call "%~dp0register-sim.cmd" "%bin%" || exit /b 1
set failed=0
pushd "%bin%"
for %%t in (*_test.exe) do (
  echo == %%t
  "%%t" --gtest_brief=1
  if errorlevel 1 (
    set /a failed+=1
    echo FAILED: %%t
  )
)
popd
call "%~dp0unregister-sim.cmd" "%bin%"
echo !failed! test program^(s^) failed
if !failed! gtr 0 exit /b 1
exit /b 0
