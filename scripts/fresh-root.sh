#!/usr/bin/env bash
# A fresh Debian 12 machine for one command: a minimal root (mmdebstrap,
# variant apt: apt and nothing else; no compiler, no CMake) unpacked into a
# temporary folder, where COMMAND runs as root in a chroot with a clean
# environment. What a new user's machine lacks shows there, not here.
#
#   scripts/fresh-root.sh [--clone] [--put FILE]... [--arch ARCH] [--keep] -- COMMAND [ARGS...]
#
#   --clone      a clean clone of this tree's committed HEAD (as CI clones it:
#                uncommitted changes are not seen) at /src/<name>; COMMAND runs there
#   --put FILE   copies FILE into /put/ of the root (packages to install, say)
#   --arch ARCH  a root of another architecture (armhf: its programs run under
#                qemu-user's binfmt handlers, when the host has them)
#   --keep       leaves the root and says where
#
# The minimal root is made once a day and kept as a tarball in
# $PSS_FRESH_CACHE (default /var/cache/pss-fresh-root); each run unpacks a new
# copy and removes it afterwards. Mounts live in a private mount namespace and
# vanish with it. Needs root, unshare (util-linux) and mmdebstrap (installed
# with apt-get when missing) and a network that reaches Debian's mirrors.
# Exit status: COMMAND's, or 2 when the root cannot be made.
set -uo pipefail

me=fresh-root
clone=0 keep=0 arch=$(dpkg --print-architecture) puts=()
while [ $# -gt 0 ]; do
    case $1 in
        --clone) clone=1 ;;
        --keep) keep=1 ;;
        --put) puts+=("$2"); shift ;;
        --arch) arch=$2; shift ;;
        --) shift; break ;;
        -h | --help) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "$me: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
[ $# -gt 0 ] || { echo "$me: no command (see --help)" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "$me: needs root (a chroot and mounts)" >&2; exit 2; }
for f in "${puts[@]}"; do [ -f "$f" ] || { echo "$me: no file $f" >&2; exit 2; }; done

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${PSS_FRESH_CACHE:-/var/cache/pss-fresh-root}
mkdir -p "$cache"

if ! command -v mmdebstrap >/dev/null; then
    echo "$me: installing mmdebstrap with apt-get"
    { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q mmdebstrap; } \
        >"$cache/apt.log" 2>&1 || { echo "$me: cannot install mmdebstrap (see $cache/apt.log)" >&2; exit 2; }
fi
tarball=$cache/bookworm-$arch-apt.tar
new=$cache/bookworm-$arch-apt.new.tar  # mmdebstrap takes the format from the name
if [ ! -s "$tarball" ] || [ -n "$(find "$tarball" -mmin +1440)" ]; then
    echo "$me: making a minimal Debian 12 $arch root (mmdebstrap, about a minute)"
    if ! mmdebstrap --variant=apt --architectures="$arch" --include=ca-certificates bookworm \
        "$new" >"$cache/mmdebstrap.log" 2>&1; then
        tail -5 "$cache/mmdebstrap.log" >&2
        echo "$me: mmdebstrap failed (see $cache/mmdebstrap.log)" >&2
        exit 2
    fi
    mv "$new" "$tarball"
fi

root=$(mktemp -d /tmp/pss-fresh-root.XXXXXX)
cleanup() {
    if [ "$keep" = 1 ]; then echo "$me: root kept at $root"; else rm -rf --one-file-system "$root"; fi
}
trap cleanup EXIT
tar -xf "$tarball" -C "$root" || { echo "$me: cannot unpack $tarball" >&2; exit 2; }
# mktemp's 0700 would keep apt's unprivileged _apt user out of the root's /.
chmod 755 "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null
workdir=/
if [ "$clone" = 1 ]; then
    name=$(basename "$repo")
    git clone -q "$repo" "$root/src/$name" || { echo "$me: cannot clone $repo" >&2; exit 2; }
    echo "$me: $(git -C "$repo" log -1 --format='%h %s' | cut -c1-72)"
    workdir=/src/$name
fi
if [ ${#puts[@]} -gt 0 ]; then
    mkdir -p "$root/put"
    cp "${puts[@]}" "$root/put/"
fi

# A mount namespace of its own: proc, sys and dev for the chroot. Where this
# shell's / is a mount point the namespace is private and the mounts vanish
# with it. Inside another chroot (a fresh root made in a fresh root, as the
# package check does under the fresh-machine check) / is no mount point and
# cannot be made private: the mounts then keep the propagation they inherit
# and are undone when COMMAND ends, and the root is removed without crossing
# into anything still mounted.
propagation=private
unshare --mount --propagation private true 2>/dev/null || propagation=unchanged
unshare --mount --propagation "$propagation" --fork bash -c '
    root=$1 workdir=$2 propagation=$3
    shift 3
    mount -t proc proc "$root/proc" && mount --rbind /sys "$root/sys" && mount --rbind /dev "$root/dev" || exit 97
    chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        sh -c "cd \"\$0\" && exec \"\$@\"" "$workdir" "$@"
    rc=$?
    if [ "$propagation" != private ]; then
        umount -R "$root/dev" && umount -R "$root/sys" && umount "$root/proc" || rc=97
    fi
    exit $rc' _ "$root" "$workdir" "$propagation" "$@" </dev/null
