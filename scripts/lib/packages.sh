# Installs the Debian packages given as arguments when any of them is missing.
# Services that the packages bring are not started: the tests and the demo start
# their own servers with their own configuration.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  local policy=/usr/sbin/policy-rc.d made_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod +x "$policy"
    made_policy=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  local rc=$?
  [ $made_policy -eq 1 ] && $sudo rm -f "$policy"
  return $rc
}

# What building and testing need on a fresh Debian machine.
BUILD_PACKAGES=(g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev pkg-config libicu-dev libre2-dev libtomlplusplus-dev dpkg-dev nlohmann-json3-dev)
RUNTIME_PACKAGES=(libssl3 libicu72 libre2-9 libtomlplusplus3 openssl iproute2 util-linux procps python3)
PEER_PACKAGES=(dovecot-core dovecot-pop3d mailutils-pop3d mpop dante-server microsocks tinyproxy socat)
# The spam classifiers the tests ask; the demo needs none of them.
CLASSIFIER_PACKAGES=(bogofilter spamd spamassassin rspamd redis-server)
CHECK_PACKAGES=(clang valgrind systemd)

# The sanitizer and fuzzer runtime that matches the installed clang (its major
# version names the package); before clang is installed, the version the
# distribution's clang package would bring.
clang_runtime_package() {
  local major
  major=$(clang -dumpversion 2>/dev/null | cut -d. -f1)
  if [ -z "$major" ]; then
    major=$(apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -1)
  fi
  [ -n "$major" ] || { echo "cannot tell the clang version" >&2; return 1; }
  echo "libclang-rt-$major-dev"
}
