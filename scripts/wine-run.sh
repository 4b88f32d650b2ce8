#!/usr/bin/env bash
# Runs a Windows program under Wine quietly (the first run creates the
# prefix) and hands back its exit code.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml=;winemenubuilder.exe=d"}
exec wine "$@"
