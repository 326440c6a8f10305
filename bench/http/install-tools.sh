#!/usr/bin/env bash
# Installs wrk and nginx (Debian packages) for the HTTP benchmark when they are missing.
# nginx's package would start the system's nginx on port 80; a temporary policy-rc.d keeps it
# from starting, since the benchmark runs its own nginx on a loopback port.
set -euo pipefail

missing=()
command -v wrk >/dev/null 2>&1 || missing+=(wrk)
[ -x /usr/sbin/nginx ] || command -v nginx >/dev/null 2>&1 || missing+=(nginx)
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
policy=/usr/sbin/policy-rc.d
made_policy=no
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
  "${sudo[@]}" chmod 755 "$policy"
  made_policy=yes
fi
cleanup() {
  if [ "$made_policy" = yes ]; then "${sudo[@]}" rm -f "$policy"; fi
}
trap cleanup EXIT

export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
if ! { "${sudo[@]}" apt-get update -qq && \
       "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "install-tools: could not install: ${missing[*]}" >&2
  exit 1
fi
rm -f "$log"
