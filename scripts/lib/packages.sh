# shellcheck shell=bash
# Sourced by the scripts that install what is missing.

# What building and running need from Debian.
# shellcheck disable=SC2034 # used by the scripts that source this file
run_packages=(
  cmake ninja-build g++ pkg-config
  libicu-dev libssl-dev
  libasio-dev # the relay's sockets and TLS streams
  nlohmann-json3-dev
  libavahi-client-dev # Bonjour advertising and the host name the local link knows the Mac by
  libheif-dev libturbojpeg0-dev libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
  libsqlite3-dev # the cloud database shared by the processes of one machine
  libpq-dev # the cloud database shared across machines, on a PostgreSQL server
  bubblewrap socat # Claude Code's command sandbox on Linux: without them every bot with commands fails
  qt6-base-dev # the menu-bar application and its model
  libxcb1-dev # asks the X display before Qt does
  libcurl4-openssl-dev # fetching the update feed and package
  libqrencode-dev # the pairing window's QR code
)

# What the tests add: their libraries, tools and peers.
# shellcheck disable=SC2034
test_packages=(
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  lld # links the test build in a third of ld's time
  rapidjson-dev libsimdjson-dev # the JSON benchmark compares against them
  python3 curl python3-croniter python3-websockets
  python3-pygit2 # libgit2, as editors and Git tools open a repository during a run
  websocketd # the terminal benchmark compares against it
  imagemagick libheif-examples ffmpeg file
  wrk nginx-light # the relay listener's load driver compares against nginx
  xvfb xauth fonts-dejavu-core # windows on a virtual display, with a font for their texts
  trayer xdotool # a system tray on that display, and a person's clicks and keys on it
  zbar-tools # reads back the QR codes the pairing window shows
  libglib2.0-bin # gio launches the autostart entry as the desktop does
  iproute2 # network namespaces: a test peer with a non-local address, a private Avahi daemon
  avahi-daemon avahi-utils dbus # the private Avahi daemon and avahi-browse
  libglib2.0-bin # gio starts the login item as a desktop would
  sqlite3 # checks the cloud database's file as an outside reader
  desktop-file-utils # checks the installed launcher as the desktops read it
  postgresql # a server of the test's own for the cloud database across machines
)

# install_missing_packages PACKAGE...: installs those of the Debian packages not installed yet, through
# sudo unless run as root. Without sudo it names them and the line to install them, and fails.
install_missing_packages() {
  local missing=() package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  ((${#missing[@]})) || return 0
  local as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "Missing Debian packages: ${missing[*]}" >&2
      echo "sudo is not installed, so install them as root with" >&2
      echo "  apt-get update && apt-get install --no-install-recommends ${missing[*]}" >&2
      echo "and then run this again." >&2
      return 1
    fi
    as_root=(sudo)
  fi
  echo "Installing: ${missing[*]}"
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
