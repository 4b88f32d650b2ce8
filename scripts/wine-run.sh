#!/usr/bin/env bash
# Runs a Windows program under Wine quietly (the first run creates the
# prefix) and hands back its exit code. Wine's debugger is kept from
# starting on an unhandled exception, so that a crash ends the process
# instead of leaving it suspended.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"}
exec wine "$@"
