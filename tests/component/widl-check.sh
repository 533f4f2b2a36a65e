#!/bin/sh
# widl-check.sh IDL OUTPUT: compiles the component's type library with widl (from
# wine64-tools), which, like MIDL, takes a type only after its declaration, so a
# file the system's IDL compilers refuse fails here. Without widl or the system's
# IDL files the check is skipped (exit 77) with a message.
set -eu
idl=$1
output=$2
include=/usr/include/wine/wine/windows
if ! command -v widl >/dev/null 2>&1; then
  echo "skipped: widl is not installed (apt-get install wine64-tools)"
  exit 77
fi
if [ ! -f "$include/oaidl.idl" ]; then
  echo "skipped: no system IDL files in $include (apt-get install wine64-tools)"
  exit 77
fi
mkdir -p "$(dirname "$output")"
exec widl --win64 -I"$include" -t -o "$output" "$idl"
