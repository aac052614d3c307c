#!/usr/bin/env bash
# Builds the Debian packages from a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr (and already built), checks what they hold and
# runs lintian on them; then, as root and when none of them is installed yet,
# installs them with apt-get, uses them (the programs, the example against
# /usr through find_package and through pkg-config, the systemd unit) and
# purges them again, also when a step fails.
#   scripts/test_packages.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=$(realpath "${1:-build}")

fail() { echo "packages: $*" >&2; exit 1; }

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
[ "$prefix" = /usr ] || fail "$build is configured for $prefix, not /usr"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")

# Packages known to dpkg in any state but "not-installed".
known_packages() {
    dpkg-query -W -f='${db:Status-Status} ${Package}\n' | awk '$1 != "not-installed" { print $2 }' | sort
}
purge_new_packages() {
    local new
    new=$(known_packages | comm -13 "$work/before" -)
    if [ -n "$new" ]; then
        echo "== purging ${new//$'\n'/ }"
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $new >/dev/null
    fi
}

work=$(mktemp -d)
chmod 755 "$work"                 # apt's sandbox user reads the packages from here
created_user=no
cleanup() {
    if [ -f "$work/before" ]; then
        purge_new_packages || true
    fi
    if [ "$created_user" = yes ] && getent passwd tavro >/dev/null; then
        deluser --quiet --system tavro >/dev/null 2>&1 || true
        if getent group tavro >/dev/null; then delgroup --quiet --system tavro >/dev/null 2>&1 || true; fi
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) \
    || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
components=$(sed -n 's/^set(CPACK_COMPONENTS_ALL "\(.*\)")$/\1/p' "$build/CPackConfig.cmake" | tr ';' ' ')
declare -A package_of=([runtime]=libtavro-m1 [dev]=libtavro-m-dev [tools]=tavro-tools
                       [console]=tavro-console [tavrod]=tavrod)
packages=()
for c in $components; do packages+=("${package_of[$c]}"); done
for p in libtavro-m1 libtavro-m-dev tavro-tools; do
    [[ " ${packages[*]} " == *" $p "* ]] || fail "no $p among the packages ($components)"
done
debs=()
for p in "${packages[@]}"; do
    deb=$(ls "$work/out/${p}"_*.deb 2>/dev/null) || fail "$p: no package file"
    debs+=("$deb")
done

echo "== contents (dpkg-deb -c)"
# has PACKAGE PATTERN...: every extended regular expression matches a line of the listing.
has() {
    local package=$1 listing; shift
    listing=$(dpkg-deb -c "$work/out/${package}"_*.deb)
    for pattern in "$@"; do
        grep -Eq "$pattern" <<<"$listing" || fail "$package lacks $pattern"
    done
}
has libtavro-m1 " \./usr/$libdir/libtavro_m\.so\.1 -> libtavro_m\.so\.1\.[0-9.]+$" \
                " \./usr/$libdir/libtavro_m\.so\.1\.[0-9.]+$"
has libtavro-m-dev " \./usr/include/tavro/tavro_m\.h$" " \./usr/include/tavro/tavro_m_export\.h$" \
                   " \./usr/$libdir/libtavro_m\.so -> libtavro_m\.so\.1$" \
                   " \./usr/$libdir/cmake/tavro_m/tavro_mConfig\.cmake$" \
                   " \./usr/$libdir/pkgconfig/tavro_m\.pc$"
has tavro-tools " \./usr/bin/tavro_cli$" " \./usr/bin/tavro_sim$" \
                " \./usr/share/man/man1/tavro_cli\.1\.gz$" " \./usr/share/man/man1/tavro_sim\.1\.gz$"
if [[ " ${packages[*]} " == *" tavro-console "* ]]; then
    has tavro-console " \./usr/bin/tavro_ex$" " \./usr/share/applications/tavro_ex\.desktop$" \
                      " \./usr/share/man/man1/tavro_ex\.1\.gz$" " \./usr/bin/tavro_popup$" \
                      " \./usr/share/applications/tavro_popup\.desktop$" " \./usr/share/man/man1/tavro_popup\.1\.gz$"
fi
if [[ " ${packages[*]} " == *" tavrod "* ]]; then
    has tavrod " \./usr/bin/tavrod$" " \./usr/lib/systemd/system/tavrod\.service$" \
               " \./etc/tavro/tavrod\.conf$" " \./usr/share/man/man1/tavrod\.1\.gz$" \
               " \./usr/share/doc/tavrod/examples/99-tavro\.rules$"
    dpkg-deb -I "$work/out"/tavrod_*.deb conffiles | grep -qx /etc/tavro/tavrod.conf \
        || fail "tavrod: /etc/tavro/tavrod.conf is not a conffile"
    dpkg-deb -f "$work/out"/tavrod_*.deb Depends | grep -q "adduser.*libqt6sql6-sqlite" \
        || fail "tavrod: no Depends on adduser and the SQLite driver"
fi

# The library's SONAME, the programs' dependency on it, the license, and no
# RUNPATH in anything installed under /usr.
for deb in "${debs[@]}"; do
    p=$(dpkg-deb -f "$deb" Package)
    dpkg-deb -x "$deb" "$work/root"
    grep -q "Permission is hereby granted" "$work/root/usr/share/doc/$p/copyright" \
        || fail "$p: no MIT license in its copyright file"
    if [ "$p" != libtavro-m1 ] && [ "$p" != libtavro-m-dev ]; then
        dpkg-deb -f "$deb" Depends | grep -q "libtavro-m1 (= " || fail "$p: no Depends on libtavro-m1"
    fi
done
soname=$(readelf -d "$work/root/usr/$libdir"/libtavro_m.so.1.* | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libtavro_m.so.1 ] || fail "SONAME is '$soname', not libtavro_m.so.1"
for elf in "$work/root/usr/bin"/* "$work/root/usr/$libdir"/libtavro_m.so.1.*; do
    if readelf -d "$elf" | grep -Eq "\((RUNPATH|RPATH)\)"; then
        fail "$(basename "$elf") has a RUNPATH under /usr"
    fi
done
echo "packages: ${packages[*]}: contents as expected"

echo "== lintian"
lintian_status=0
lintian --tag-display-limit 0 --fail-on error "${debs[@]}" >"$work/lintian.log" 2>&1 || lintian_status=$?
grep -v "root privileges" "$work/lintian.log" || true
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors"
echo "lintian: no errors"

# --- Install, use, purge ------------------------------------------------------
if [ "$(id -u)" -ne 0 ]; then
    echo "packages: not root, install test skipped"
    exit 0
fi
known_packages >"$work/known"
for p in "${packages[@]}"; do
    if grep -qx "$p" "$work/known"; then
        echo "packages: $p is already on this machine; install test skipped"
        exit 0
    fi
done
getent passwd tavro >/dev/null || created_user=yes
mv "$work/known" "$work/before"

echo "== apt-get install ${packages[*]}"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${debs[@]}" \
    >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install failed"; }

version=$(dpkg-deb -f "$work/out"/libtavro-m1_*.deb Version)
tavro_cli --help | grep -q -- "--map" || fail "tavro_cli --help"
for program in tavro_cli tavro_sim; do
    [ "$($program --version)" = "$program $version" ] || fail "$program --version: $($program --version)"
done
if command -v tavro_ex >/dev/null; then
    tavro_ex --help | grep -q -- "--map" || fail "tavro_ex --help"
fi
[ "$(realpath -m "$(pkg-config --variable=includedir tavro_m)")" = /usr/include ] \
    || fail "tavro_m.pc: includedir is $(pkg-config --variable=includedir tavro_m)"
[ "$(realpath -m "$(pkg-config --variable=libdir tavro_m)")" = "/usr/$libdir" ] \
    || fail "tavro_m.pc: libdir is $(pkg-config --variable=libdir tavro_m)"

# The example against /usr, through find_package and through pkg-config; it
# runs from the installed library and fails cleanly on a missing device.
expect_clean_failure() {
    local output
    output=$("$1" /dev/tavro-missing 2>&1 || true)
    grep -q "cannot open COM1" <<<"$output" || fail "$1 did not run as expected: $output"
}
echo "== examples/caller_popup against /usr"
cmake -S "$source_dir/examples/caller_popup" -B "$work/example-cmake" >/dev/null
cmake --build "$work/example-cmake" >/dev/null
expect_clean_failure "$work/example-cmake/caller_popup"
# shellcheck disable=SC2046
g++ -std=c++17 -fPIC "$source_dir/examples/caller_popup/main.cpp" -o "$work/caller_popup-pc" \
    $(pkg-config --cflags --libs tavro_m)
expect_clean_failure "$work/caller_popup-pc"
echo "example: built with find_package and with pkg-config, ran against /usr"

if command -v tavrod >/dev/null; then
    tavrod --help >/dev/null || fail "tavrod --help"
    id -nG tavro | tr ' ' '\n' | grep -qx dialout || fail "user tavro is not in dialout"
    [ "$(getent passwd tavro | cut -d: -f6)" = /var/lib/tavro ] || fail "tavro's home is not /var/lib/tavro"
    [ -d /var/lib/tavro ] || fail "no /var/lib/tavro"
    ! ls /etc/systemd/system/*.wants/tavrod.service >/dev/null 2>&1 || fail "tavrod is enabled on install"
    # systemd-analyze verify needs a working systemd; a trivial unit tells
    # whether this machine (a container, say) can run it at all.
    printf '[Service]\nExecStart=/bin/true\n' >"$work/probe.service"
    if systemd-analyze verify --man=no "$work/probe.service" >/dev/null 2>&1; then
        # (--man=no: the page is checked above; images without manuals exist)
        verify=$(systemd-analyze verify --man=no /usr/lib/systemd/system/tavrod.service 2>&1) \
            || fail "systemd-analyze verify: $verify"
        ! grep -q "tavrod.service" <<<"$verify" || fail "systemd-analyze verify: $verify"
        echo "unit: systemd-analyze verify passed"
    else
        echo "unit: systemd-analyze verify cannot run here, skipped"
    fi
fi

purge_new_packages
[ -z "$(known_packages | comm -13 "$work/before" -)" ] || fail "packages left after the purge"
[ ! -e /etc/tavro ] || fail "/etc/tavro left after the purge"
echo "packages: installed, used and purged"
