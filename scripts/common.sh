# Shared by the project's scripts: installs what is missing and builds.
# Sourced, not run.

KVRT_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

KVRT_PACKAGES=(
    cmake g++ make pkg-config ccache
    qtbase5-dev qtbase5-private-dev qtdeclarative5-dev qtquickcontrols2-5-dev
    qttools5-dev qttools5-dev-tools libqt5svg5-dev
    qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-layouts
    qml-module-qtquick-controls2 qml-module-qtquick-templates2
    qml-module-qtqml-statemachine qml-module-qtgraphicaleffects qml-module-qttest
    libmosquitto-dev mosquitto libqrcodegencpp-dev fonts-dejavu-core
    xvfb xauth imagemagick xdotool zbar-tools gcovr faketime
    dpkg-dev lintian
)

kvrt_log() { printf '[kvrt] %s\n' "$*" >&2; }

# Installs the Debian packages that are not installed yet. Quick when all are present.
kvrt_install_deps() {
    local missing=()
    local pkg
    for pkg in "${KVRT_PACKAGES[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    kvrt_log "installing: ${missing[*]}"
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq </dev/null
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}

# Lets ccache share results between clones and build directories.
export CCACHE_BASEDIR="$KVRT_ROOT"

# kvrt_build BUILD_DIR [extra cmake args...]
kvrt_build() {
    local dir="$1"; shift
    cmake -S "$KVRT_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
}
