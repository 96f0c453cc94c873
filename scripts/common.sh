# Shared by run.sh and test.sh: install what is missing, then configure and build.
set -euo pipefail

CORVANE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CORVANE_PACKAGES=(build-essential cmake ninja-build qt6-base-dev qt6-qpa-plugins libjpeg-dev
                  libgl-dev mbpoll fonts-dejavu-core libmodbus-dev pkg-config qt6-charts-dev
                  libqt6opengl6-dev libmosquitto-dev mosquitto openssl)

corvane_install_deps() {
    local missing=()
    for pkg in "${CORVANE_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

# corvane_build BUILD_DIR [cmake options...]
corvane_build() {
    local dir="$1"
    shift
    cmake -S "$CORVANE_ROOT" -B "$dir" -G Ninja "$@"
    cmake --build "$dir" --parallel "$(nproc)"
}
