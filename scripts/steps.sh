# Sourced by the scripts that set up, build and test: a line for each step with the time since
# the run began, a line a minute while a long quiet command runs, commands whose output goes
# to a log that is shown whole when they fail, and apt's status turned into a few progress
# lines.

# When the run began, in seconds since the epoch: inherited from the script that started this
# one when it is a plain number and not in the future, else now.
steps_now=$(date +%s)
if [[ ! ${RUNPACK_STEPS_STARTED:-} =~ ^[0-9]{1,12}$ ]] || ((10#$RUNPACK_STEPS_STARTED > steps_now)); then
  RUNPACK_STEPS_STARTED=$steps_now
fi
export RUNPACK_STEPS_STARTED=$((10#$RUNPACK_STEPS_STARTED))

# step TEXT...: "== [mm:ss] TEXT", the time since the run began.
step() {
  local elapsed=$(($(date +%s) - RUNPACK_STEPS_STARTED))
  printf '== [%02d:%02d] %s\n' $((elapsed / 60)) $((elapsed % 60)) "$*"
}

# with_heartbeat TEXT COMMAND [ARG...]: runs the command; while it runs, says on stderr once a
# minute (every RUNPACK_HEARTBEAT seconds) "   still TEXT (mm:ss so far)", so that a long
# stretch without output shows that it is moving. Returns the command's exit code.
with_heartbeat() {
  local text=$1 interval=${RUNPACK_HEARTBEAT:-60} status=0 ticker started
  shift
  started=$(date +%s)
  (
    # The sleep holds none of the caller's pipes: ending this loop ends all it writes.
    while sleep "$interval" </dev/null >/dev/null 2>&1; do
      elapsed=$(($(date +%s) - started))
      printf '   still %s (%02d:%02d so far)\n' "$text" $((elapsed / 60)) $((elapsed % 60)) >&2
    done
  ) &
  ticker=$!
  "$@" || status=$?
  kill "$ticker" 2>/dev/null || true
  wait "$ticker" 2>/dev/null || true
  return "$status"
}

# quietly LOG COMMAND [ARG...]: runs the command with its output in LOG. When it fails, LOG is
# printed whole on stderr, and its exit code is returned.
quietly() {
  local log=$1 status=0
  shift
  "$@" >"$log" 2>&1 || status=$?
  if ((status != 0)); then
    printf -- '-- %s failed with exit code %d; its output (%s):\n' "$*" "$status" "$log" >&2
    cat -- "$log" >&2
  fi
  return "$status"
}

# report_exit COMMAND [ARG...]: runs the command, prints "exit code: N" with its real exit code,
# and returns that code, also where set -e is on.
report_exit() {
  local status=0
  "$@" || status=$?
  echo "exit code: $status"
  return "$status"
}

# apt_progress LOG: reads apt-get's output with its status lines (APT::Status-Fd=1), writes
# every other line to LOG, and prints one line at each tenth of the download and of the
# installation, so that a long install shows it is moving without listing every package.
apt_progress() {
  local log=$1 line kind percent tenth shown_download=-1 shown_install=-1
  while IFS= read -r line; do
    kind=${line%%:*}
    if [[ $kind != dlstatus && $kind != pmstatus ]]; then
      printf '%s\n' "$line" >>"$log"
      continue
    fi
    # "dlstatus:FILE:PERCENT:TEXT", "pmstatus:PACKAGE:PERCENT:TEXT"
    percent=${line#*:}
    percent=${percent#*:}
    [[ $percent =~ ^([0-9]{1,3})(\.[0-9]*)?: ]] || continue
    tenth=$((10#${BASH_REMATCH[1]} / 10 * 10))
    if [[ $kind = dlstatus ]] && ((tenth > shown_download)); then
      shown_download=$tenth
      echo "   downloading: $tenth %"
    elif [[ $kind = pmstatus ]] && ((tenth > shown_install)); then
      shown_install=$tenth
      echo "   installing: $tenth %"
    fi
  done
  return 0
}

# apt_install LOG PACKAGE...: installs the packages (through $SUDO when set), their progress
# shown by apt_progress and the rest of apt-get's output in LOG. apt's last status line comes
# before the last package is set up; once apt-get has succeeded, the installation is whole,
# and the count goes to 100 %. Returns apt-get's exit code.
apt_install() {
  local log=$1 status=0
  shift
  : >"$log"
  { ${SUDO:-} apt-get install -y -q --no-install-recommends -o APT::Status-Fd=1 "$@" 2>&1 &&
    echo "pmstatus:apt-get:100:every package is set up"; } | apt_progress "$log" || status=$?
  return "$status"
}

# The line said when apt could not fetch the distribution's indexes, or could not install
# what it found: the usual cause is a mirror in the middle of a sync, which ends by itself.
MIRROR_HINT="-- the distribution's mirror looks inconsistent (an index could not be fetched, or does not match the packages; a sync may be in progress): retrying later helps"

# apt_update LOG [APT OPTION...]: runs apt-get update (through $SUDO when set, with the options
# given) until it has fetched every index: a failure is its exit code or a "Failed to fetch"
# line, which apt only warns of when it has older lists to fall back on. RUNPACK_APT_ATTEMPTS
# tries (default 4), with a pause of RUNPACK_APT_PAUSE seconds (default 30) between them; every
# try's output goes to LOG.
# When the last try fails too: the mirror line, then LOG, on stderr, and a nonzero code.
apt_update() {
  local log=$1 attempts=${RUNPACK_APT_ATTEMPTS:-4} pause=${RUNPACK_APT_PAUSE:-30} attempt status
  shift
  : >"$log"
  for ((attempt = 1; ; attempt++)); do
    status=0
    echo "-- apt-get update, try $attempt of $attempts" >>"$log"
    ${SUDO:-} apt-get "$@" update -q >>"$log.try" 2>&1 || status=$?
    cat -- "$log.try" >>"$log"
    if ((status == 0)) && grep -q 'Failed to fetch' -- "$log.try"; then status=100; fi
    rm -f -- "$log.try"
    ((status != 0)) || return 0
    ((attempt < attempts)) || break
    echo "   apt-get update could not fetch every index (exit code $status); trying again in $pause s" >&2
    sleep "$pause"
  done
  printf '%s\n' "$MIRROR_HINT" >&2
  printf -- '-- apt-get update failed %d times, the last with exit code %d; its output (%s):\n' \
    "$attempts" "$status" "$log" >&2
  cat -- "$log" >&2
  return "$status"
}

# fetch_source_package PACKAGE VERSION TARGET: fetches Debian's source package PACKAGE at
# VERSION with apt (whose indexes are signed by the archive, as for the binary packages) and
# unpacks it, with Debian's patches, into TARGET. The source indexes go to a directory of
# their own, so the machine's apt configuration is left as it is. Prints apt's output.
fetch_source_package() {
  local package=$1 version=$2 target=$3 work codename keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  work=$(mktemp -d)
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/source"
  cat >"$work/sources.list" <<LIST
deb-src [signed-by=$keyring] http://deb.debian.org/debian $codename main
deb-src [signed-by=$keyring] http://deb.debian.org/debian $codename-updates main
deb-src [signed-by=$keyring] http://deb.debian.org/debian-security $codename-security main
LIST
  local options=(-o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent
    -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
  local status=0
  # As the user: the indexes and the source go to this directory only.
  SUDO= apt_update "$work/update.log" "${options[@]}" || status=$?
  if ((status == 0)); then
    (cd "$work/source" && apt-get -q "${options[@]}" source --download-only "$package=$version") &&
      dpkg-source -x "$work/source/${package}_${version#*:}.dsc" "$work/unpacked" &&
      rm -rf -- "$target" && mkdir -p "$(dirname "$target")" && mv -- "$work/unpacked" "$target" || status=1
  fi
  rm -rf -- "$work"
  return "$status"
}
