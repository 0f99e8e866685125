#!/usr/bin/env bash
# Records a check this machine cannot run, and why: on standard error, and as a line of the file
# $DRAVIK_SKIPS when it is set, which tools/test.sh lists at its end.
#
#   tools/skip.sh WHAT REASON
echo "skipped: $1: $2" >&2
if [[ -n ${DRAVIK_SKIPS:-} ]]; then echo "$1: $2" >>"$DRAVIK_SKIPS"; fi
