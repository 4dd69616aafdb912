#!/bin/sh
# Passes when PROGRAM needs libsqlserial and neither PROGRAM nor LIBRARY (the
# serialiser) names libodbc: every database call must go through the serialiser.
# Usage: check_linkage.sh PROGRAM LIBRARY
set -eu
program=$1
library=$2

program_dynamic=$(readelf -d "$program")

if ! printf '%s\n' "$program_dynamic" | grep -Eq 'NEEDED.*\[libsqlserial\.so'; then
  echo "$program does not link libsqlserial:" >&2
  printf '%s\n' "$program_dynamic" | grep NEEDED >&2 || true
  exit 1
fi
for file in "$program" "$library"; do
  if readelf -d "$file" | grep 'libodbc' >&2; then
    echo "$file names the driver manager directly" >&2
    exit 1
  fi
done
echo "$program reaches the driver manager only through libsqlserial"
