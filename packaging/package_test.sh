#!/bin/bash
# Builds the Debian package from a configured and built tree and checks it: its file name, the
# files it holds (against EXPECTED, one absolute path a line), its control data and maintainer
# scripts, and the installed units (systemd-analyze verify against the package's own tree). As
# root it also runs the maintainer scripts against a stand-in systemctl, with and without a
# running service manager, and installs, removes and purges the package with dpkg, both in a
# private mount namespace whose /usr, /etc, /var (and a separate /lib) are overlays on a
# scratch tmpfs: nothing reaches the machine's own files. Leaves the package's tree in
# OUT/root for the tests that run the installed programs. The python3-vantles package built
# beside it is checked too, and installed, imported and removed in the same namespace.
# Usage: package_test.sh BUILD_DIR OUT_DIR EXPECTED UNIT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

fail() { echo "package_test: FAILED: $*" >&2; exit 1; }

# The parts that need the private mount namespace, run in it (see the end).
if [[ ${VANTLES_PKG_IN_NAMESPACE:-} == scripts ]]; then
    deb=$1
    mount -t tmpfs vantles-pkg-run /run
    control=$(mktemp -d)
    dpkg-deb -e "$deb" "$control"
    fake=$(mktemp -d)
    log=$fake/calls
    printf '#!/bin/sh\necho "$*" >>%s\nexit "${FAKE_STATUS:-0}"\n' "$log" >"$fake/systemctl"
    chmod 755 "$fake/systemctl"
    run_all() {  # every script in the order dpkg runs them over a life cycle
        : >"$log"
        for call in "postinst configure" "postinst configure 0.0.1" "prerm upgrade 9.9.9" \
                    "prerm remove" "postrm remove" "postrm purge"; do
            PATH=$fake:$PATH sh "$control/${call%% *}" ${call#* } ||
                fail "$call exited $? (systemctl status ${FAKE_STATUS:-0})"
        done
    }
    run_all
    [[ ! -s $log ]] || fail "scripts called systemctl without a service manager: $(cat "$log")"
    mkdir -p /run/systemd/system
    want=$'daemon-reload\nenable vantlesd.socket vantlesd.service\nstart vantlesd.socket vantlesd.service
daemon-reload\nenable vantlesd.socket vantlesd.service\nstart vantlesd.socket vantlesd.service\ntry-restart vantlesd.service
stop vantlesd.socket vantlesd.service\ndisable vantlesd.socket vantlesd.service
daemon-reload\ndaemon-reload'
    for status in 0 1; do
        FAKE_STATUS=$status run_all
        [[ $(cat "$log") == "$want" ]] ||
            fail "systemctl calls (status $status):"$'\n'"$(cat "$log")"$'\n'"want:"$'\n'"$want"
    done
    echo "maintainer scripts: ok"
    exit 0
fi
if [[ ${VANTLES_PKG_IN_NAMESPACE:-} == dpkg ]]; then
    deb=$1 unitdir=$2 pydeb=$3
    # The packages are held open: the build tree may itself lie under /tmp, covered next.
    exec 9<"$deb" 8<"$pydeb"
    mount -t tmpfs vantles-pkg-tmp /tmp
    scratch=$(mktemp -d)
    mount -t tmpfs vantles-pkg-dpkg "$scratch"
    cp /proc/self/fd/9 "$scratch/package.deb"
    cp /proc/self/fd/8 "$scratch/python3-vantles.deb"
    exec 9<&- 8<&-
    deb=$scratch/package.deb pydeb=$scratch/python3-vantles.deb
    for dir in usr etc var lib; do
        [[ -d /$dir && ! -L /$dir ]] || continue
        mkdir -p "$scratch/$dir.upper" "$scratch/$dir.work"
        mount -t overlay overlay \
            -o "lowerdir=/$dir,upperdir=$scratch/$dir.upper,workdir=$scratch/$dir.work" "/$dir"
    done
    status() { dpkg-query -W -f='${Status}' vantlesd 2>/dev/null || true; }
    dpkg -i "$deb" || fail "dpkg -i"
    [[ $(status) == "install ok installed" ]] || fail "status after dpkg -i: $(status)"
    for f in /usr/sbin/vantlesd /usr/bin/vantles; do
        [[ -x $f ]] || fail "$f not installed executable"
    done
    grep -q '^ExecStart=/usr/sbin/vantlesd$' "$unitdir/vantlesd.service" ||
        fail "installed service: $(grep ExecStart "$unitdir/vantlesd.service")"
    dpkg -r vantlesd || fail "dpkg -r"
    for f in /usr/sbin/vantlesd /usr/bin/vantles "$unitdir/vantlesd.service"; do
        [[ ! -e $f ]] || fail "$f left after dpkg -r"
    done
    dpkg -P vantlesd || fail "dpkg -P"
    [[ $(status) == "" || $(status) == *not-installed ]] || fail "status after dpkg -P: $(status)"
    echo "dpkg install, remove, purge: ok"
    # The Python library, imported by the system's python3 from where Debian keeps modules.
    if [[ -x /usr/bin/python3 ]] && dpkg-query -W -f='${Status}' python3 2>/dev/null |
            grep -q 'ok installed'; then
        pydir=/usr/lib/python3/dist-packages/vantles
        dpkg -i "$pydeb" || fail "dpkg -i python3-vantles"
        where=$(cd / && /usr/bin/python3 -c 'import vantles
assert str(vantles.Flags.created | vantles.Flags.file) == "created,file"
print(vantles.__file__)') || fail "import vantles"
        [[ $where == $pydir/__init__.py ]] || fail "vantles imported from $where"
        dpkg -r python3-vantles || fail "dpkg -r python3-vantles"
        [[ ! -e $pydir ]] || fail "$pydir left after dpkg -r: $(ls -R "$pydir")"
        echo "python3-vantles install, import, remove: ok"
    else
        echo "package_test: no python3 package installed, python3-vantles not installed"
    fi
    exit 0
fi

build=$1 out=$2 expected=$3 unitdir=$4
rm -rf "$out"
mkdir -p "$out"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out/cpack" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log"; fail "cpack"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$out/cpack/vantlesd_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || fail "no $deb; made: $(ls "$out/cpack")"

# Regular files and links: exactly the expected ones.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort >"$out/files"
sort "$expected" >"$out/expected"
diff -u "$out/expected" "$out/files" || fail "file list differs (- expected, + packaged)"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ && $2 != "root/root" { print; bad = 1 } END { exit bad }' ||
    fail "files not owned by root"
dpkg-deb -c "$deb" | grep -E '^-rwxr-xr-x .* \./usr/s?bin/vantles' | wc -l | grep -qx 2 ||
    fail "programs not mode 0755"

[[ $(dpkg-deb -f "$deb" Package) == vantlesd ]] || fail "Package: $(dpkg-deb -f "$deb" Package)"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 zlib1g libuuid1; do
    [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
mkdir -p "$out/control"
dpkg-deb -e "$deb" "$out/control"
for script in postinst prerm postrm; do
    [[ -x $out/control/$script ]] || fail "no executable $script"
    sh -n "$out/control/$script" || fail "$script does not parse"
done

dpkg-deb -x "$deb" "$out/root"

# python3-vantles, built beside it: the Python modules and py.typed where Debian's python3
# finds them, architecture-independent, needing python3 only.
pydeb=$build/packaging/python3-vantles_${version}_all.deb
[[ -f $pydeb ]] || fail "no $pydeb"
[[ $(dpkg-deb -f "$pydeb" Package) == python3-vantles ]] || fail "python3-vantles Package"
[[ $(dpkg-deb -f "$pydeb" Architecture) == all ]] ||
    fail "python3-vantles Architecture: $(dpkg-deb -f "$pydeb" Architecture)"
[[ $(dpkg-deb -f "$pydeb" Depends) == "python3 (>= 3.9)" ]] ||
    fail "python3-vantles Depends: $(dpkg-deb -f "$pydeb" Depends)"
(cd "$here/../python/vantles" && ls *.py py.typed) |
    sed 's|^|/usr/lib/python3/dist-packages/vantles/|; $a /usr/share/doc/python3-vantles/README.md' |
    sort >"$out/py-expected"
dpkg-deb -c "$pydeb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort >"$out/py-files"
diff -u "$out/py-expected" "$out/py-files" || fail "python3-vantles file list differs"
dpkg-deb -c "$pydeb" | awk '$2 != "root/root" { print; bad = 1 } END { exit bad }' ||
    fail "python3-vantles files not owned by root"
exec_start=$(sed -n 's/^ExecStart=//p' "$out/root$unitdir/vantlesd.service")
[[ $exec_start == /usr/sbin/vantlesd ]] || fail "ExecStart=$exec_start"
if command -v systemd-analyze >/dev/null 2>&1; then
    # The installed units, with ExecStart= naming the unpacked daemon.
    mkdir -p "$out/units"
    cp "$out/root$unitdir/vantlesd.socket" "$out/units/"
    sed "s|^ExecStart=|ExecStart=$out/root|" "$out/root$unitdir/vantlesd.service" \
        >"$out/units/vantlesd.service"
    sh "$here/check_units.sh" "$out/units" || fail "installed units"
fi

if [[ $(id -u) -ne 0 ]] || ! command -v unshare >/dev/null 2>&1; then
    echo "package_test: not root, maintainer scripts and dpkg runs skipped"
    exit 0
fi
VANTLES_PKG_IN_NAMESPACE=scripts unshare -m --propagation private "$0" "$deb" ||
    fail "maintainer scripts"
VANTLES_PKG_IN_NAMESPACE=dpkg unshare -m --propagation private "$0" "$deb" "$unitdir" "$pydeb" ||
    fail "dpkg runs"
echo "package_test: ok ($deb)"
