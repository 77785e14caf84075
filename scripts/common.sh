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
    xvfb xauth imagemagick xdotool zbar-tools gcovr
    dpkg-dev lintian
)

# What a cross build for a Debian ARM architecture (arm64, armhf) takes from that
# architecture: the development packages to build, the QML modules to run the tests under
# emulation. With the cross compilers and qemu's user mode; installed only when asked for.
KVRT_TARGET_PACKAGES=(
    qtbase5-dev qtbase5-private-dev qtdeclarative5-dev qtquickcontrols2-5-dev qttools5-dev
    libqt5svg5-dev
    qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-layouts
    qml-module-qtquick-controls2 qml-module-qtquick-templates2
    qml-module-qtqml-statemachine qml-module-qtgraphicaleffects qml-module-qttest
    libmosquitto-dev libqrcodegencpp-dev
)

kvrt_log() { printf '[kvrt] %s\n' "$*" >&2; }

kvrt_sudo() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the given Debian packages that are not installed yet (name:arch for another
# architecture). Quick when all are present; waits for apt's lock when someone else has it.
kvrt_install_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    kvrt_log "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    kvrt_sudo apt-get -o DPkg::Lock::Timeout=900 update -qq </dev/null
    kvrt_sudo apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends \
        "${missing[@]}" </dev/null
}

# The packages of a native build.
kvrt_install_deps() {
    kvrt_install_packages "${KVRT_PACKAGES[@]}"
}

# kvrt_install_target_deps ARCH: what a cross build for ARCH (arm64, armhf) and its tests
# under qemu need. Some amd64 libraries may be upgraded to the version of their ARM copies.
kvrt_install_target_deps() {
    local arch="$1"
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        kvrt_log "adding the Debian architecture $arch"
        kvrt_sudo dpkg --add-architecture "$arch"
    fi
    # Masked before qemu-user-static comes: systemd would otherwise register its formats
    # for the whole machine (at once and at every boot), and ARM programs would run outside
    # the tests' sandbox. A file of the administrator's own in their place is kept.
    local fmt
    for fmt in aarch64 arm; do
        if [ ! -e "/etc/binfmt.d/qemu-$fmt.conf" ] && [ ! -L "/etc/binfmt.d/qemu-$fmt.conf" ]; then
            kvrt_log "masking qemu-$fmt in systemd-binfmt (/etc/binfmt.d/qemu-$fmt.conf)"
            kvrt_sudo mkdir -p /etc/binfmt.d
            kvrt_sudo ln -s /dev/null "/etc/binfmt.d/qemu-$fmt.conf"
        fi
    done
    kvrt_install_packages crossbuild-essential-"$arch" qemu-user-static \
        "${KVRT_TARGET_PACKAGES[@]/%/:$arch}"
}

# Lets ccache share results between clones and build directories.
export CCACHE_BASEDIR="$KVRT_ROOT"

# kvrt_build BUILD_DIR [extra cmake args...]
kvrt_build() {
    local dir="$1"; shift
    cmake -S "$KVRT_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
}
