# Shared by scripts/run and scripts/test: package installation and the build.
# shellcheck shell=bash

QF_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

# Packages the program needs to build and run.
QF_BUILD_PACKAGES=(cmake make g++ qt6-base-dev qt6-qpa-plugins libgl-dev fonts-noto-cjk fonts-dejavu-core libxcb1-dev
                   libsqlite3-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
                   # Qt's SVG icon engine: most applications' theme icons are SVG
                   libqt6svg6
                   # the counting service's metrics endpoint
                   libmicrohttpd-dev)
# Packages the tests, benchmarks and screenshots need on top of those, each for what a test
# runs or loads: a test skips only where the machine itself cannot (no root, no BPF).
QF_TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev
                  # X: the virtual server, the clients that drive it (xdotool, xprop), pictures
                  xvfb xauth x11-apps xdotool x11-utils imagemagick
                  # the decimal-comma locale (qf_ensure_comma_locale), namespaces (ip, sysctl)
                  locales iproute2 procps
                  # the package check: cpack's shlibdeps step runs file(1) and dpkg-shlibdeps
                  dpkg-dev file
                  # the window managers the widget is checked under, each on its own D-Bus;
                  # KWin draws no title bar without its Breeze decoration
                  dbus-daemon xterm mutter xfwm4 openbox kwin-x11 kwin-style-breeze i3-wm sway xwayland grim x11-xserver-utils
                  # the counting service: BPF compiled with clang, its skeleton made by bpftool
                  libbpf-dev bpftool clang llvm pkg-config
                  # the metrics endpoint checked against a real Prometheus server
                  prometheus)
# Only for `scripts/test --stress`, which loads the machine while the tests run.
QF_STRESS_PACKAGES=(stress-ng)

qf_sudo() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs whichever of the named Debian packages are missing.
qf_ensure_packages() {
    local missing=() p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        qf_sudo apt-get update -qq
        qf_sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# A locale with a decimal comma, so the tests can prove our numbers ignore it.
qf_ensure_comma_locale() {
    if locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
        return 0
    fi
    if [ -f /etc/locale.gen ]; then
        qf_sudo sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
        grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | qf_sudo tee -a /etc/locale.gen >/dev/null
        qf_sudo locale-gen >/dev/null || true
    elif command -v locale-gen >/dev/null; then
        qf_sudo locale-gen de_DE.UTF-8 >/dev/null || true
    fi
}

qf_jobs() { nproc 2>/dev/null || echo 2; }
