# Shared by scripts/run.sh and scripts/test.sh: installs what is missing, configures and builds into build/.
# Source it from the top of the source tree.

OKAVU_PACKAGES=(g++-mingw-w64-x86-64 wine wine64 xvfb xauth cmake googletest nginx-light openssl python3 curl wixl)
OKAVU_BUILD_DIR=build

say() { printf '\n== %s\n' "$*"; }

# Installs the Debian packages that are not installed yet; a prepared machine installs nothing.
ensure_packages() {
  local missing=() package
  for package in "${OKAVU_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
  fi
  say "Installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get update </dev/null
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
}

# The documented build: MinGW-w64 toolchain file, update host localhost (the tests' own HTTPS server).
build_program() {
  say "Building into $OKAVU_BUILD_DIR/"
  cmake -S . -B "$OKAVU_BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DOKAVU_UPDATE_HOST=localhost
  cmake --build "$OKAVU_BUILD_DIR" --parallel "$(nproc)"
}

# Stops the Wine prefix kept in a state folder (its wineserver, its Xvfb, leftovers); quiet and idempotent.
stop_prefix() {
  if [ -d "$1" ]; then
    python3 tests/e2e/wineprefix.py stop "$1" >/dev/null 2>&1 || true
  fi
}
