# Shared set-up for ./run and ./test: installs the Debian packages the build
# needs (only those missing) and configures and builds one build tree.
# Sourced, not run.

TALMO_PACKAGES=(cmake g++ ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev xxd
                qt6-base-dev qt6-base-dev-tools libqt6test6 libgl-dev clang libclang-rt-14-dev
                clang-format clang-tidy  # the style check (tools/style-check.sh)
                # the package and its checks (tools/package-check.sh)
                dpkg-dev file lintian desktop-file-utils appstream man-db groff
                ser2net  # ser2net: the RFC 2217 server the remote-port tests start
                tshark  # tshark: reads the timed captures, and hosts the extcap entry in its tests
                mbpoll python3-pymodbus)  # a Modbus master and a Modbus slave, the slave's peers in its tests

talmo_need_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# talmo_install PACKAGE...: installs those of the Debian packages that are
# missing (the benchmarks' peers too).
talmo_install() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  # On stderr: the benchmarks' figures on stdout stay as they are.
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    talmo_need_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
    # tshark asks whether users other than root may capture: answered "no"
    # beforehand, so that the install never stops for it.
    if [[ " ${missing[*]} " == *" tshark "* ]]; then
      echo "wireshark-common wireshark-common/install-setuid boolean false" |
        talmo_need_root debconf-set-selections
    fi
    talmo_need_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi >&2
}

talmo_install_packages() { talmo_install "${TALMO_PACKAGES[@]}"; }

# talmo_build DIR [cmake options...]
# Builds every target, or only those named in TALMO_TARGETS (and what they
# link), e.g. TALMO_TARGETS="talmo talmocli".
talmo_build() {
  local dir=$1; shift
  local targets=()
  if [ -n "${TALMO_TARGETS:-}" ]; then
    read -r -a targets <<<"$TALMO_TARGETS"
    targets=(--target "${targets[@]}")
  fi
  cmake -S "$TALMO_ROOT" -B "$TALMO_ROOT/$dir" -G Ninja "$@" >/dev/null
  cmake --build "$TALMO_ROOT/$dir" -j "$(nproc)" "${targets[@]}"
}
