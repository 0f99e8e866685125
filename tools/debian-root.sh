#!/usr/bin/env bash
# A minimal Debian root, made with debootstrap, and commands run chrooted in it. By default it is
# Debian's unstable suite with its Wine, built in the new WoW64 mode, which runs both Windows exes,
# the 32-bit one too, on a kernel that runs no 32-bit Linux code; DRAVIK_ROOT_SUITE and
# DRAVIK_ROOT_PACKAGES (both `make` and `run` must see them) make others the same way, such as the
# root of this machine's release in which the package is installed.
#
#   tools/debian-root.sh make ROOT                         makes the root, once per machine
#   tools/debian-root.sh run ROOT FOLDER... -- COMMAND...  runs COMMAND chrooted in it
#
# `run` works in a mount and PID namespace of its own: /proc, /dev and each FOLDER (at its own
# path) are mounted there only. They are gone for good when the run ends, however it ends,
# together with every process it left (a wineserver, say); the host never sees them, so deleting
# the root can never reach through a bind mount into the host's files. The command gets the
# root's own environment, and Wine's: $WINE is its loader, its debug output is off, and it asks
# for no Mono or Gecko.
set -euo pipefail

suite=${DRAVIK_ROOT_SUITE:-sid}
read -ra packages <<<"${DRAVIK_ROOT_PACKAGES:-wine64 wine locales python3}"
recipe="debootstrap $suite minbase; apt: ${packages[*]}; locale: ja_JP.UTF-8"
script=$(realpath "$0")

die() {
  echo "debian-root: $*" >&2
  exit 1
}

# The Debian mirror this machine's own apt sources use for its release.
host_mirror() {
  local release
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  apt-get indextargets --no-release-info --format '$(REPO_URI)' "Release: $release" | sed -n 1p
}

# Deletes a tree, unless a mount point lies at or below it in this namespace.
remove_tree() {
  local folder mount
  [[ -e "$1" ]] || return 0
  folder=$(realpath -m "$1")
  while read -r _ _ _ _ mount _; do
    mount=$(printf '%b' "${mount//\\/\\0}")
    if [[ "$mount" == "$folder" || "$mount" == "$folder"/* ]]; then
      die "$mount is mounted inside $folder; unmount it first (nothing was deleted)"
    fi
  done </proc/self/mountinfo
  rm -rf --one-file-system "$1"
}

is_complete() {
  [[ "$(cat "$1/.dravik-root" 2>/dev/null)" == "$recipe" ]]
}

# In a fresh mount and PID namespace: mounts /proc, /dev and the folders into the root, then
# runs the command chrooted in it, in the current folder when that is one of the folders.
enter() {
  local root=$1
  shift
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  while [[ "$1" != -- ]]; do
    mkdir -p "$root$1"
    mount --bind "$1" "$root$1"
    shift
  done
  shift
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    WINE=/usr/lib/x86_64-linux-gnu/wine/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= \
    /bin/sh -c 'cd "$0" 2>/dev/null || cd /; exec "$@"' "$PWD" "$@"
}

in_namespace() {
  unshare --mount --propagation private --pid --fork --kill-child -- "$script" enter "$@"
}

make_root() {
  local root=$1 mirror new=$1.new
  [[ $(id -u) -eq 0 ]] || die "making $root needs root"
  command -v debootstrap >/dev/null || die "debootstrap is missing (tools/install-deps.sh --all)"
  mkdir -p "$(dirname "$root")"
  exec {lock}>"$root.lock"
  flock "$lock"
  is_complete "$root" && return 0
  mirror=${DRAVIK_DEBIAN_MIRROR:-$(host_mirror)}
  [[ -n "$mirror" ]] || die "no Debian mirror found in this machine's apt sources"
  echo "debian-root: making $root from $mirror ($suite, with ${packages[*]})" >&2
  # A half-made root of an interrupted run, or one made by another recipe, is made anew.
  remove_tree "$new"
  # debootstrap mounts /proc and /sys in the new root: in a namespace of its own, they cannot
  # outlive it.
  if ! unshare --mount --propagation private \
      debootstrap --variant=minbase "$suite" "$new" "$mirror" >"$root.log" 2>&1; then
    tail -n 20 "$root.log" >&2
    die "debootstrap of Debian $suite from $mirror failed (log: $root.log)"
  fi
  # The unstable suite's Release file may be past its Valid-Until date on the mirror.
  echo 'Acquire::Check-Valid-Until "false";' >"$new/etc/apt/apt.conf.d/99dravik"
  echo 'ja_JP.UTF-8 UTF-8' >"$new/etc/locale.gen"
  if ! in_namespace "$new" -- /bin/sh -c "apt-get update &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${packages[*]} &&
      apt-get clean && locale-gen" >>"$root.log" 2>&1; then
    tail -n 20 "$root.log" >&2
    die "installing ${packages[*]} into $new failed (log: $root.log)"
  fi
  echo "$recipe" >"$new/.dravik-root"
  remove_tree "$root"
  mv "$new" "$root"
  echo "debian-root: $root is ready" >&2
}

run_in_root() {
  local root folders=()
  root=$(realpath "$1")
  shift
  while [[ $# -gt 0 && "$1" != -- ]]; do
    [[ -d "$1" ]] || die "$1 is no folder"
    folders+=("$(realpath "$1")")
    shift
  done
  [[ $# -gt 1 ]] || die "usage: $0 run ROOT FOLDER... -- COMMAND..."
  shift
  [[ $(id -u) -eq 0 ]] || die "running in $root needs root"
  exec {lock}>"$root.lock"
  flock --shared "$lock"
  is_complete "$root" || die "$root is not made (tools/debian-root.sh make $root)"
  # Only the folders that lie inside none of the others are mounted.
  mapfile -t folders < <(printf '%s\n' "${folders[@]}" | sort -u |
    awk '{ for (i = 1; i <= n; i++) if (index($0, kept[i] "/") == 1) next; kept[++n] = $0; print }')
  in_namespace "$root" "${folders[@]}" -- "$@"
}

[[ $# -lt 2 || ( -n "$2" && "$(realpath -m "$2")" != / ) ]] || die "'$2' cannot be the root"
case "${1:-}" in
  make) [[ $# -eq 2 ]] || die "usage: $0 make ROOT"; make_root "$(realpath -m "$2")" ;;
  run) shift; run_in_root "$@" ;;
  enter) shift; enter "$@" ;;
  *) die "usage: $0 make ROOT | run ROOT FOLDER... -- COMMAND..." ;;
esac
