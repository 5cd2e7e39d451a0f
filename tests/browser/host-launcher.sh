#!/bin/sh
# The native messaging host that Chromium starts in the browser tests: the
# Windows host under wine64 in the test prefix, or a stand-in for a host stuck
# in a request. Chromium passes on the test's environment:
#   TALVENOR_TEST_LAUNCH_LOG  a line with this process's id is appended per start
#   TALVENOR_TEST_HOST_MODE   "host" or "stuck" (reads nothing, answers nothing)
#   TALVENOR_TEST_RUN         marks this process and its children as the run's hosts
#   TALVENOR_TEST_WINE_RUN, TALVENOR_TEST_WINEPREFIX, TALVENOR_TEST_HOST_EXE
set -eu
TALVENOR_TEST_HOST_OF_RUN=$TALVENOR_TEST_RUN
export TALVENOR_TEST_HOST_OF_RUN
echo "$$" >>"$TALVENOR_TEST_LAUNCH_LOG"
case "$TALVENOR_TEST_HOST_MODE" in
stuck) exec sleep 300 ;;
*) exec "$TALVENOR_TEST_WINE_RUN" "$TALVENOR_TEST_WINEPREFIX" "$TALVENOR_TEST_HOST_EXE" "$@" ;;
esac
