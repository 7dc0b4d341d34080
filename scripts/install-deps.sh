#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, only those that are missing. Extra package
# names on the command line are wanted too (`install-deps.sh gcovr` for `make coverage`).
set -euo pipefail
want=(build-essential cmake ninja-build pkg-config libfmt-dev libgtest-dev libgmock-dev libbenchmark-dev
      libcli11-dev clang-14 libclang-rt-14-dev util-linux
      pybind11-dev python3-dev python3-pytest prometheus
      python3-prometheus-client "$@")
missing=()
for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    # The prometheus package is wanted for its promtool only (the endpoint's test). On a machine
    # run by systemd it also starts and enables a server: stop and disable what we brought.
    if [[ " ${missing[*]} " == *" prometheus "* ]] && [ -d /run/systemd/system ]; then
        $SUDO systemctl disable --now prometheus >/dev/null 2>&1 || true
    fi
fi
