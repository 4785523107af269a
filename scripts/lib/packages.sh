# Sourced by the scripts: installs the Debian packages named that are not installed yet.
# Refreshes the package lists once, and only when something is missing.
ensure_packages() {
  local sudo="" p missing=()
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}
