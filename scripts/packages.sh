# Sourced by scripts/build and scripts/test. Finds what is missing, and
# installs it through apt-get where this user may (root, or sudo without a
# password), after saying what that will do to the machine. A mirror that
# cannot give everything is no reason to stop: an index that fails to
# download is a warning, and a package that cannot be installed is left out
# with its reason, for the caller to decide what that costs.
#
#   need PACKAGE 'TEST'       PACKAGE is missing unless the shell TEST holds
#   install_missing           installs what it can of what is missing; then
#                             unavailable lists "PACKAGE: reason" for the rest
#   lacks PACKAGE             true when PACKAGE is still missing afterwards

missing=()
unavailable=()
declare -A present_when=()

need() {
  present_when[$1]=$2
  eval "$2" >/dev/null 2>&1 || missing+=("$1")
}

lacks() {
  local entry
  for entry in "${unavailable[@]}"; do
    [ "${entry%%: *}" = "$1" ] && return 0
  done
  return 1
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -n "$@"; fi
}

may_install() {
  [ "$(id -u)" -eq 0 ] || { command -v sudo >/dev/null && sudo -n true 2>/dev/null; }
}

# apt-get's last error line for installing the packages given, or nothing
# when it would install them.
apt_refusal() {
  local said
  if said=$(apt-get install -s -q --no-install-recommends --no-upgrade "$@" 2>&1); then
    return 0
  fi
  grep -E '^E: ' <<<"$said" | tail -n 1 | sed 's/^E: //'
  return 1
}

leave_out() {  # package, reason
  unavailable+=("$1: $2")
  local kept=() package
  for package in "${missing[@]}"; do
    [ "$package" = "$1" ] || kept+=("$package")
  done
  missing=("${kept[@]}")
}

install_missing() {
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "missing: ${missing[*]}"
  local package
  if ! command -v apt-get >/dev/null || ! may_install; then
    for package in "${missing[@]}"; do
      unavailable+=("$package: not installed, and this user may not install it")
    done
    missing=()
    return 0
  fi

  # wine32 is an i386 package: the architecture is added for it, and taken
  # away again when the package cannot be had after all.
  local added_i386=
  if [[ " ${missing[*]} " == *":i386 "* ]] &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "adding the i386 architecture to dpkg (dpkg --add-architecture i386)," \
      "for wine32:i386"
    as_root dpkg --add-architecture i386
    added_i386=1
  fi
  if ! as_root apt-get update -q >/tmp/sarnelux-apt-update.$$ 2>&1; then
    echo "warning: apt-get update could not fetch every index; going on with" \
      "what it has:"
    grep -E '^(E|W): ' /tmp/sarnelux-apt-update.$$ | sed 's/^/  /' | head -n 5
  fi
  rm -f /tmp/sarnelux-apt-update.$$

  # What cannot be installed is left out one by one, so that the rest still
  # comes in.
  local refusal
  if ! refusal=$(apt_refusal "${missing[@]}"); then
    for package in "${missing[@]}"; do
      refusal=$(apt_refusal "$package") || leave_out "$package" "apt-get cannot install it here (${refusal:-no reason given})"
    done
  fi
  if [ -n "$added_i386" ] && lacks wine32:i386; then
    echo "taking the i386 architecture away again (dpkg --remove-architecture" \
      "i386): wine32:i386 cannot be installed"
    as_root dpkg --remove-architecture i386 || true
  fi
  local entry
  for entry in "${unavailable[@]}"; do echo "left out: $entry"; done
  [ ${#missing[@]} -gt 0 ] || return 0

  # --no-upgrade: a package named here that is installed stays as it is.
  # What the new packages' dependencies force up to a newer version is
  # upgraded all the same; the dry run names it first.
  local install=(apt-get install -y -q --no-install-recommends --no-upgrade)
  local plan new upgraded removed
  plan=$("${install[@]}" -s "${missing[@]}")
  new=$(awk '/^Inst [^ ]+ \(/ { printf " %s", $2 }' <<<"$plan")
  upgraded=$(awk '/^Inst [^ ]+ \[/ { printf " %s", $2 }' <<<"$plan")
  removed=$(awk '/^Remv / { printf " %s", $2 }' <<<"$plan")
  echo "installing with apt-get, dependencies included:$new"
  if [ -n "$upgraded" ]; then
    echo "which needs these installed packages at a newer version, so they" \
      "are upgraded too:$upgraded"
  fi
  if [ -n "$removed" ]; then
    echo "and conflicts with these installed packages, so they are" \
      "removed:$removed"
  fi
  as_root env DEBIAN_FRONTEND=noninteractive "${install[@]}" "${missing[@]}" ||
    echo "warning: apt-get install failed"
  for package in "${missing[@]}"; do
    eval "${present_when[$package]}" >/dev/null 2>&1 ||
      unavailable+=("$package: still missing after apt-get install")
  done
  missing=()
}
