@echo off
rem Runs inside the working directory that the runpack engine made and filled.
set out=%RUNPACK_DEMO_OUT%
if "%out%"=="" set out=hello-output.txt
echo Hello from a runpack executable.> "%out%"
echo Running in %CD%>> "%out%"
echo Files the engine extracted:>> "%out%"
dir /s /b>> "%out%"
type docs\readme.txt>> "%out%"
