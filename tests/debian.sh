#!/bin/sh
# usage: debian.sh RELEASE ROOT MAKE-ARGUMENTS...
# Runs make with the given arguments (the test suite, say) on a Debian
# release (trixie, forky), in a minimal root made with debootstrap at ROOT,
# on a copy of this working tree. The root is made once and kept; the copy
# is made afresh. Needs root.
set -eu
release=$1
root=$2
shift 2
cd "$(dirname "$0")/.."

if [ ! -e "$root/.made" ]; then
	# The Debian archive that this machine's own apt uses.
	archive=$(apt-get indextargets --format '$(REPO_URI)' 'Label: Debian' 'Identifier: Packages' | head -n 1)
	if [ -z "$archive" ]; then
		echo "$0: no Debian archive in this machine's apt lists; run apt-get update" >&2
		exit 1
	fi
	# A debootstrap older than the release has no script of its own for
	# it: testing is made as unstable is.
	script=
	[ -e "/usr/share/debootstrap/scripts/$release" ] || script=/usr/share/debootstrap/scripts/sid
	rm -rf "$root"
	debootstrap --variant=minbase --include=make "$release" "$root" "$archive" $script
	# A mirror's snapshot of testing may be past its Release file's
	# Valid-Until.
	echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99valid-until"
	touch "$root/.made"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"

# Tracked and new files, as they are now, not what git ignores (the builds);
# without git (a release tarball), the tree but its builds.
rm -rf "$root/src"
mkdir "$root/src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
	git ls-files -z --cached --others --exclude-standard |
		tar --null --files-from=- --ignore-failed-read -cf - | tar -xf - -C "$root/src"
else
	tar --exclude='./build*' -cf - . | tar -xf - -C "$root/src"
fi

# In a mount namespace of its own, so that the root's /proc, /sys and /dev
# go away with the run. The root is a mount point, as on a machine, so that
# the suite can make mount namespaces of its own. The environment is a fresh
# machine's.
unshare --mount --propagation private sh -euc '
	root=$1
	shift
	mount --bind "$root" "$root"
	mount -t proc proc "$root/proc"
	mount -t sysfs sysfs "$root/sys"
	mount --rbind /dev "$root/dev"
	exec chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
		DEBIAN_FRONTEND=noninteractive make -C /src "$@"
' sh "$root" "$@"
