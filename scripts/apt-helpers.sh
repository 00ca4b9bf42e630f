# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# What the scripts that fetch from Debian's archive share, sourced by them:
# the project's download cache, apt's package lists updated through a
# mirror's sync, a private apt configuration on the host's own archives,
# and downloads that reach the cache whole or not at all.
#
#   . "$(dirname "$0")/apt-helpers.sh"
#
# apt runs with the host's configuration until apt_private_config points it
# at a private one.

# The download cache: kept by make clean, emptied by make distclean.
download_cache_root() {
  echo "${CAMERA_PROBE_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:?}/.cache}/camera-probe}"
}

# Prints the absolute path of the cache's folder for one kind of download
# (debs, sources, apt/NAME, ...), made if need be. The cache carries a
# CACHEDIR.TAG: backups leave it out, and make distclean empties only a
# folder that has one.
download_cache() {
  local root
  root="$(download_cache_root)"
  mkdir -p "$root/$1" || return 1
  if [ ! -f "$root/CACHEDIR.TAG" ]; then
    local tag
    tag="$(mktemp "$root/.tag.XXXXXX")"
    printf '%s\n' 'Signature: 8a477f597d28d172789f06886806bc55' \
      "# camera-probe's download cache: make distclean empties it." >"$tag"
    mv -f "$tag" "$root/CACHEDIR.TAG"
  fi
  (cd "$root/$1" && pwd)
}

# Removes the whole cache, if it is one.
empty_download_cache() {
  local root
  root="$(download_cache_root)"
  [ -e "$root" ] || return 0
  if ! grep -qs '^Signature: 8a477f597d28d172789f06886806bc55' "$root/CACHEDIR.TAG"; then
    echo "$root has no CACHEDIR.TAG: not camera-probe's download cache, left alone" >&2
    return 1
  fi
  echo "removing the download cache $root" >&2
  rm -rf "$root"
}

_apt_log() { echo "${0##*/}: $*" >&2; }

# The configuration every apt-get call below uses: the host's to begin
# with, updated as root (through sudo otherwise), waiting for another apt
# run (a second build, say) that holds the lock.
apt_options=(-o DPkg::Lock::Timeout=600)
apt_runner=()
if [ "$(id -u)" -ne 0 ]; then
  apt_runner=(sudo)
fi
apt_private_dir=
# As root apt cannot hand its downloads to its unprivileged _apt user in
# folders that user may not write (a cache in root's home); running them as
# root is what it falls back to.
_apt_download_options=()
if [ "$(id -u)" -eq 0 ]; then
  _apt_download_options=(-o APT::Sandbox::User=root)
fi

# Prints the host's archives and suites, one "URI SUITE COMPONENT" a line.
_apt_host_archives() {
  # shellcheck disable=SC2016 # apt's own $(FIELD) placeholders
  apt-get indextargets --no-release-info \
    --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' | sort -u
}

# apt_private_config DIR deb ARCH... | apt_private_config DIR deb-src
# Points apt at a configuration of its own in DIR: its sources list,
# package lists, cache and an empty dpkg status, so that the host's apt
# state and dpkg database stay as they are (no dpkg --add-architecture).
# Its sources are the host's own archives and suites: the binary packages
# of the ARCHs alone, or the same archives' source packages. One caller at
# a time per configuration, since apt locks its lists but not the files
# fetched with them: the lock on DIR/lock is held until the caller exits
# or calls apt_private_release.
apt_private_config() {
  local dir="$1" type="$2" archive_options='' entries
  shift 2
  mkdir -p "$dir/sources.list.d" "$dir/lists/partial" "$dir/cache/archives/partial"
  apt_private_dir="$(cd "$dir" && pwd)"
  exec {_apt_lock_fd}>"$apt_private_dir/lock"
  flock "$_apt_lock_fd"
  [ -f "$apt_private_dir/status" ] || : >"$apt_private_dir/status"
  apt_options=(
    -o "Dir::Etc::SourceList=$apt_private_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_private_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_private_dir/lists"
    -o "Dir::State::status=$apt_private_dir/status"
    -o "Dir::Cache=$apt_private_dir/cache"
    "${_apt_download_options[@]}"
  )
  apt_runner=()
  if [ "$type" = deb ]; then
    archive_options="[arch=$(
      IFS=,
      echo "$*"
    )] "
    local arch
    for arch in "$@"; do
      apt_options+=(-o "APT::Architectures::=$arch")
    done
  fi
  entries="$(_apt_host_archives)"
  if [ -z "$entries" ]; then
    _apt_log "the host's apt configuration names no Debian archive"
    return 1
  fi
  awk -v prefix="$type $archive_options" '{ print prefix $0 }' <<<"$entries" \
    >"$apt_private_dir/sources.list.new"
  # Lists fetched for other sources (the host's changed) are not these.
  if ! cmp -s "$apt_private_dir/sources.list.new" "$apt_private_dir/sources.list"; then
    rm -f "$apt_private_dir/updated"
  fi
  mv -f "$apt_private_dir/sources.list.new" "$apt_private_dir/sources.list"
}

apt_private_release() {
  exec {_apt_lock_fd}>&-
}

# A mirror in the middle of a sync, or one that lags, can serve an index
# that does not match its Release file; apt then leaves that one out (or
# keeps the old one) and fails. Try again; then go on with the lists that
# did come, if any did: a package they lack fails what asks for it.
apt_update_lists() {
  local try
  for try in 1 2; do
    if "${apt_runner[@]}" apt-get "${apt_options[@]}" update -qq; then
      _apt_lists_updated
      return 0
    fi
    _apt_log "the package lists did not all update (try $try of 2)"
    [ "$try" -eq 2 ] || sleep 20
  done
  if [ -n "$apt_private_dir" ] && [ -z "$(find "$apt_private_dir/lists" -maxdepth 1 \
    \( -name '*_Packages*' -o -name '*_Sources*' \) -print -quit)" ]; then
    _apt_log "no package list could be fetched"
    return 1
  fi
  _apt_log "going on with the package lists that did update"
  _apt_lists_updated partly
}

# Marks a private configuration's lists as updated (apt_private_lists):
# now, or when only some came, an hour before they would be a week old, so
# that the next run after an hour tries again.
_apt_lists_updated() {
  [ -n "$apt_private_dir" ] || return 0
  if [ "${1:-}" = partly ]; then
    touch -d '-167 hours' "$apt_private_dir/updated"
  else
    touch "$apt_private_dir/updated"
  fi
}

# A private configuration's lists are updated when it has none, its sources
# changed, or they are a week old: kept in the cache, they would otherwise
# hold the versions of the day they came for good.
apt_private_lists() {
  if [ -z "$(find "$apt_private_dir" -maxdepth 1 -name updated -mtime -7)" ]; then
    _apt_log "updating the package lists of $apt_private_dir"
    apt_update_lists
  fi
}

# Runs COMMAND; when it fails (stale lists name no candidate, or a version
# the archive no longer holds) updates the lists and runs it once more.
apt_with_fresh_lists() {
  "$@" && return 0
  _apt_log "updating the package lists and trying again"
  apt_update_lists || return 1
  "$@"
}

# True when FILE is the download apt describes: its SIZE and its HASH
# ("SHA256:..." as --print-uris gives it).
_apt_file_matches() {
  local file="$1" size="$2" hash="$3" sum
  [ -f "$file" ] && [ "$(stat -c %s "$file")" = "$size" ] || return 1
  case "$hash" in
    SHA512:*) sum=sha512sum ;;
    SHA256:*) sum=sha256sum ;;
    SHA1:*) sum=sha1sum ;;
    MD5Sum:*) sum=md5sum ;;
    *) return 0 ;;
  esac
  [ "$("$sum" <"$file" | cut -d' ' -f1)" = "${hash#*:}" ]
}

# apt_download_into CACHE_DIR APT-GET-ARGUMENTS...
# Runs apt-get in a new folder inside CACHE_DIR and then moves what it
# downloaded into CACHE_DIR: a file appears there whole or not at all, so
# neither a second caller nor another checkout sharing the cache ever sees
# a partial one. Folders left by a run that was killed go after a day.
apt_download_into() {
  local cache_dir="$1" partial_dir status=0
  shift
  find "$cache_dir" -maxdepth 1 -name '.download.*' -mmin +1440 -exec rm -rf {} +
  partial_dir="$(mktemp -d "$cache_dir/.download.XXXXXX")"
  (cd "$partial_dir" && apt-get "${apt_options[@]}" "${_apt_download_options[@]}" -qq "$@" \
    </dev/null) || status=$?
  if [ "$status" -eq 0 ]; then
    find "$partial_dir" -maxdepth 1 -type f -exec mv -f -t "$cache_dir" {} + || status=$?
  fi
  rm -rf "$partial_dir"
  return "$status"
}

# Prints "FILE SIZE HASH" for each WANTED's candidate, in the order asked,
# FILE as apt names the download (NAME_VERSION_ARCH.deb, an epoch's colon
# as %3a); fails when one has none. WANTED is NAME[:ARCH][=VERSION], ARCH
# the host's by default.
_apt_candidate_files() {
  local uris wanted name architecture
  uris="$(apt-get "${apt_options[@]}" download --print-uris "$@" 2>/dev/null)" || return 1
  for wanted in "$@"; do
    name="${wanted%%=*}"
    architecture="$(dpkg --print-architecture)"
    case "$name" in
      *:*) architecture="${name#*:}" name="${name%%:*}" ;;
    esac
    awk -v name="$name" -v architecture="$architecture" '
      { file = $2; gsub("\047", "", file); n = split(file, part, "_") }
      n == 3 && part[1] == name && (part[3] == architecture ".deb" || part[3] == "all.deb") {
        print file, $3, $4; found = 1; exit
      }
      END { exit !found }' <<<"$uris" || return 1
  done
}

# apt_fetch_debs CACHE_DIR WANTED...
# Prints the path of each WANTED's candidate .deb in CACHE_DIR, one a line in
# the order asked, downloading those the cache does not hold as the lists
# describe them. Prints nothing and fails when one cannot be had.
apt_fetch_debs() {
  local cache_dir="$1" listing file size hash missing=() wanted_list=() wanted paths=()
  shift
  listing="$(_apt_candidate_files "$@")" || return 1
  wanted_list=("$@")
  local index=0
  while read -r file size hash; do
    wanted="${wanted_list[index]}"
    index=$((index + 1))
    if ! _apt_file_matches "$cache_dir/$file" "$size" "$hash" &&
      [[ " ${missing[*]} " != *" $wanted "* ]]; then
      missing+=("$wanted")
    fi
  done <<<"$listing"
  if [ "${#missing[@]}" -gt 0 ]; then
    _apt_log "downloading ${missing[*]} into $cache_dir"
    apt_download_into "$cache_dir" download "${missing[@]}" || return 1
  fi
  while read -r file size hash; do
    _apt_file_matches "$cache_dir/$file" "$size" "$hash" || return 1
    paths+=("$cache_dir/$file")
  done <<<"$listing"
  printf '%s\n' "${paths[@]}"
}

# apt_fetch_source CACHE_DIR WANTED
# Prints the path of the .dsc of source package WANTED (NAME[=VERSION]) in
# CACHE_DIR, its other files beside it, downloading them when the cache
# does not hold them all as the lists describe them.
apt_fetch_source() {
  local cache_dir="$1" wanted="$2" listing file size hash complete=true dsc=
  listing="$(apt-get "${apt_options[@]}" source --download-only --print-uris "$wanted" 2>/dev/null |
    awk '/^\047/ { file = $2; gsub("\047", "", file); print file, $3, $4 }')" || return 1
  [ -n "$listing" ] || return 1
  while read -r file size hash; do
    _apt_file_matches "$cache_dir/$file" "$size" "$hash" || complete=false
  done <<<"$listing"
  if ! $complete; then
    _apt_log "downloading the source of $wanted into $cache_dir"
    apt_download_into "$cache_dir" source --download-only "$wanted" || return 1
  fi
  while read -r file size hash; do
    _apt_file_matches "$cache_dir/$file" "$size" "$hash" || return 1
    case "$file" in *.dsc) dsc="$cache_dir/$file" ;; esac
  done <<<"$listing"
  [ -n "$dsc" ] && echo "$dsc"
}
