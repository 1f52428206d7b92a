# Shared by scripts/run.sh and scripts/test.sh: installs what is missing, configures and builds into build/.
# Source it from the top of the source tree.

OKAVU_PACKAGES=(g++-mingw-w64-x86-64 g++ wine wine64 xvfb xauth x11-apps netpbm cmake googletest nginx-light openssl
                python3 curl wixl)
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
  # The workflow linter runs on Node.js; a machine that has npm from elsewhere keeps it.
  if ! command -v npm >/dev/null 2>&1; then
    missing+=(nodejs npm)
  fi
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

# The workflow linter at the versions tools/workflow-lint pins, in build/npm where the suite's lint tests
# find it; installed again only when the pinned versions change.
ensure_workflow_linter() {
  local dir="$OKAVU_BUILD_DIR/npm"
  if cmp -s tools/workflow-lint/package.json "$dir/package.json" &&
    cmp -s tools/workflow-lint/package-lock.json "$dir/package-lock.json" &&
    [ -x "$dir/node_modules/.bin/action-validator" ]; then
    return 0
  fi
  say "Installing the workflow linter into $dir/"
  mkdir -p "$dir"
  cp tools/workflow-lint/package.json tools/workflow-lint/package-lock.json "$dir/"
  npm ci --prefix "$dir" --no-audit --no-fund --ignore-scripts </dev/null
}

# The documented build: MinGW-w64 toolchain file, update host localhost (the tests' own HTTPS server).
build_program() {
  say "Building into $OKAVU_BUILD_DIR/"
  cmake -S . -B "$OKAVU_BUILD_DIR" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DOKAVU_UPDATE_HOST=localhost
  cmake --build "$OKAVU_BUILD_DIR" --parallel "$(nproc)"
}

# Runs a command whose Wine processes start with address-space randomisation off. Wine must map a few
# fixed address ranges at start; Debian's Wine has no preloader to reserve them, so now and then a
# randomly placed mapping is in the way and the process ends with exit code 1 before it ran ("failed to
# map the shared user data"). Where the system does not allow it, the command runs as it is.
without_aslr() {
  if setarch "$(uname -m)" -R true 2>/dev/null; then
    setarch "$(uname -m)" -R "$@"
  else
    "$@"
  fi
}

# Stops the Wine prefix kept in a state folder (its wineserver, its Xvfb, leftovers); quiet and idempotent.
stop_prefix() {
  if [ -d "$1" ]; then
    python3 tests/e2e/wineprefix.py stop "$1" >/dev/null 2>&1 || true
  fi
}
