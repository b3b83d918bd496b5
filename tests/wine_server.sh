#!/bin/sh
# SPDX-License-Identifier: MIT
# Holds one wineserver up for a whole test run under wine, so that no test
# starts while the server of the one before is shutting down, or while a new
# prefix is still being set up.
# Usage: wine_server.sh start WINESERVER WINE | wine_server.sh stop WINESERVER
set -eu

case $1 in
  start)
    # A server left by the build's test discovery goes first: it may be
    # about to shut down. Then one that waits a minute after its last
    # client, so that it outlives every gap between tests and still ends if
    # the run is cut short.
    "$2" -w
    mkdir -p "$WINEPREFIX"
    "$2" -p60 < /dev/null > /dev/null 2>&1
    # The prefix is complete once wineboot returns.
    "$3" wineboot --init < /dev/null > /dev/null 2>&1
    ;;
  stop)
    "$2" -k < /dev/null > /dev/null 2>&1 || true
    ;;
esac
