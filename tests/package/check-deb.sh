#!/usr/bin/env bash
# Packs what the build installs with `cpack -G DEB` into a temporary folder
# (building nothing) and checks the package: its name, the exact set of
# files under /usr, the control fields (dependencies computed from the
# programs), the desktop entry and metainfo validators on its contents, and
# lintian without errors (lintian takes about 3 s, the whole check about 10 s).
source "$(dirname "$0")/package-support.sh"

# Under the Makefile generator cpack first builds the target "preinstall",
# that is the whole build; named with a generator that has no such target,
# it installs what the build made, as `cmake --install` does.
cpack -G DEB --config "$MERVIX_BUILD_DIR/CPackConfig.cmake" -B "$scratch" -D CPACK_CMAKE_GENERATOR=Ninja >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack -G DEB"; }
deb="$scratch/mervix_${MERVIX_VERSION}_$(dpkg --print-architecture).deb"
[[ -f "$deb" ]] || fail "no $(basename "$deb"); cpack made: $(ls "$scratch")"

dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./usr/||' | LC_ALL=C sort |
  check_file_list "the package"

field() { dpkg-deb --field "$deb" "$1"; }
[[ "$(field Package)" == mervix ]] || fail "Package: $(field Package)"
[[ "$(field Version)" == "$MERVIX_VERSION" ]] || fail "Version: $(field Version)"
[[ "$(field Section)" == net ]] || fail "Section: $(field Section)"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
[[ "$(field Description)" == *mervix-devsim* ]] || fail "Description lacks the long text: $(field Description)"
depends="$(field Depends)"
needed=(libc6 libstdc++6)
[[ "$MERVIX_GUI" == ON ]] && needed+=(libqt6widgets6 libqt6network6)
for library in "${needed[@]}"; do
  [[ ", $depends" == *", $library "* ]] || fail "Depends lacks $library: $depends"
done

dpkg-deb --extract "$deb" "$scratch/root"
validate_desktop_files "$scratch/root/usr"
[[ "$(gzip -dc "$scratch/root/usr/share/doc/mervix/changelog.gz" | head -1)" == "mervix ($MERVIX_VERSION) "* ]] ||
  fail "the changelog's first entry is not version $MERVIX_VERSION"

lintian --fail-on error --tag-display-limit 0 "$deb" >"$scratch/lintian.log" 2>&1 ||
  { cat "$scratch/lintian.log" >&2; fail "lintian reports errors"; }
cat "$scratch/lintian.log"
echo "$(basename "$deb"): files, control fields, validators and lintian all right"
