# Sourced by the demo, test and bench scripts: installs the Debian packages
# that are missing, as root or through sudo; apt's output goes to a log,
# shown only when the installation fails.
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "Missing Debian packages: ${missing[*]}" >&2
            echo "Install them as root, then run this again:" >&2
            echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
            return 1
        fi
        sudo=(sudo)
    fi
    local log
    log=$(mktemp "${TMPDIR:-/tmp}/cirsharp-packages.XXXXXX")
    echo "Installing missing packages: ${missing[*]} (apt output in $log)" >&2
    # No package may start a system daemon (slurmctld, slurmd, munge): a
    # policy-rc.d that refuses stays in place during the install, and is
    # removed afterwards only if it was put there here.
    local policy=/usr/sbin/policy-rc.d created=0 status=0
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
        "${sudo[@]}" chmod 0755 "$policy"
        created=1
    fi
    { "${sudo[@]}" apt-get update -qq &&
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1 || status=$?
    [ "$created" -eq 1 ] && "${sudo[@]}" rm -f "$policy"
    if [ "$status" -ne 0 ]; then
        cat "$log" >&2
        echo "Installing ${missing[*]} failed; apt's output is above and in $log" >&2
        return 1
    fi
}

# What building everything needs.
BUILD_PACKAGES=(g++ gcc cmake make libgtest-dev libbenchmark-dev libpng-dev)
# What the tests run besides: GDAL reads the products through their ENVI
# headers, GNU parallel runs the whole-flight recipe, clang-format checks the
# formatting, Chromium renders the flight report (a Python 3 script), and a
# Slurm of the tests' own (scripts/slurm-cluster: its daemons, munge for its
# credentials, ip for its namespace) runs the Slurm recipe.
TEST_PACKAGES=(gdal-bin parallel clang-format chromium python3 slurmctld slurmd slurm-client munge
    iproute2)
