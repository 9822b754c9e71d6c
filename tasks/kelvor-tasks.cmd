@echo off
rem Registers Kelvor's maintenance-window tasks from the two definitions beside this script, or
rem removes them: kelvor-tasks.cmd install ^| remove. Run it as an administrator or as SYSTEM (a
rem script, a Configuration Manager program, an Intune Win32 app). Exit code 0 when done; otherwise
rem schtasks's, or 2 for a wrong argument.
setlocal
set "tasks=%SystemRoot%\System32\schtasks.exe"
rem Task Scheduler keeps a file for each task here; a 32-bit process on 64-bit Windows sees it
rem through Sysnative.
set "store=%SystemRoot%\System32\Tasks"
if exist "%SystemRoot%\Sysnative\cmd.exe" set "store=%SystemRoot%\Sysnative\Tasks"
if /i "%~1"=="install" goto install
if /i "%~1"=="remove" goto remove
echo usage: %~nx0 install^|remove 1>&2
exit /b 2

:install
rem The countdown first: the window starts it.
"%tasks%" /create /xml "%~dp0kelvor-countdown.xml" /tn "Kelvor countdown" /f >nul
if errorlevel 1 exit /b %errorlevel%
"%tasks%" /create /xml "%~dp0kelvor-maintenance-window.xml" /tn "Kelvor maintenance window" /f >nul
exit /b %errorlevel%

:remove
rem The window first, so that it never starts a countdown that is gone; one already gone is done.
if not exist "%store%\Kelvor maintenance window" goto countdown
"%tasks%" /delete /tn "Kelvor maintenance window" /f >nul
if errorlevel 1 exit /b %errorlevel%
:countdown
if not exist "%store%\Kelvor countdown" exit /b 0
"%tasks%" /delete /tn "Kelvor countdown" /f >nul
exit /b %errorlevel%
