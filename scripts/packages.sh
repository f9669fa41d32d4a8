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
    if ! { "${sudo[@]}" apt-get update -qq &&
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
        cat "$log" >&2
        echo "Installing ${missing[*]} failed; apt's output is above and in $log" >&2
        return 1
    fi
}

# What building everything needs.
BUILD_PACKAGES=(g++ gcc cmake make libgtest-dev libbenchmark-dev libpng-dev)
# What the tests run besides: GDAL reads the products through their ENVI
# headers, GNU parallel runs the whole-flight recipe, clang-format checks the
# formatting.
TEST_PACKAGES=(gdal-bin parallel clang-format)
