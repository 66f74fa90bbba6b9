#!/bin/sh
# Installs the Debian packages that building and testing need, when any is missing. Run as root
# with apt-get available it installs them; otherwise it names the exact command and fails.
set -eu

packages="cmake make g++ clang libclang-rt-14-dev clang-format libgtest-dev libbenchmark-dev
nlohmann-json3-dev valgrind python3 dpkg-dev groff-base mandoc lintian jq"

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "install-deps: not a Debian system; install the equivalents of: $(echo $packages)" >&2
    exit 0
fi

missing=""
for p in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
    *" installed") ;;
    *) missing="$missing $p" ;;
    esac
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "install-deps: installing$missing"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
else
    echo "install-deps: missing packages; run: sudo apt-get install -y$missing" >&2
    exit 1
fi
