# Sourced by the demo and test scripts: installs the Debian packages that are
# missing, as root or through sudo.
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What building everything needs.
BUILD_PACKAGES=(g++ gcc cmake make libgtest-dev libbenchmark-dev libpng-dev)
# What the tests run besides: GDAL reads the products through their ENVI
# headers, GNU parallel runs the whole-flight recipe.
TEST_PACKAGES=(gdal-bin parallel)
