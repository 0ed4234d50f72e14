#!/usr/bin/env bash
# Installs the build into a temporary prefix with `cmake --install` and uses
# it from there: the exact set of installed files, --version of the three
# programs, an S-record conversion by the installed mervix-cli (of a file
# made with srec_cat as the README shows), the installed window started
# offscreen, the manual pages, the bash completion, the validators of the
# desktop entry and the metainfo, the screenshots they show, and the Ansible
# collection's documentation. Nothing outside the prefix is touched.
source "$(dirname "$0")/package-support.sh"
prefix="$scratch/prefix"
work="$scratch/work"
mkdir -p "$work"

cmake --install "$MERVIX_BUILD_DIR" --prefix "$prefix" >"$scratch/install.log" ||
  { cat "$scratch/install.log" >&2; fail "cmake --install"; }
(cd "$prefix" && find . -type f -printf '%P\n' | LC_ALL=C sort) | check_file_list "the installation"

# --version: the project version, also from the window without a display.
programs=(mervix-cli mervix-devsim)
[[ "$MERVIX_GUI" == ON ]] && programs+=(mervix)
for program in "${programs[@]}"; do
  got="$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$prefix/bin/$program" --version)" ||
    fail "$program --version exits with an error"
  [[ "$got" == "$program $MERVIX_VERSION" ]] || fail "$program --version says '$got'"
  page="$prefix/share/man/man1/$program.1.gz"
  gzip -dc "$page" | grep -q "^\.SH NAME" || fail "$page has no NAME section"
  gzip -dc "$page" | grep -q "^\.TH .*\"mervix $MERVIX_VERSION\"" || fail "$page does not name version $MERVIX_VERSION"
done

# A conversion from the installed program: S3 records from base address
# 10000 give back the bytes they were made from, beside the input.
head -c 5000 /dev/urandom >"$work/image.bin"
srec_cat "$work/image.bin" -binary -offset 0x10000 -o "$work/Firmware.mot" -motorola -address-length=4 \
  -disable=data-count
(cd "$work" && "$prefix/bin/mervix-cli" convert --base-address 10000 Firmware.mot >"$scratch/convert.out") ||
  fail "installed mervix-cli convert: $(cat "$scratch/convert.out")"
cmp "$work/image.bin" "$work/firmware.img" || fail "the converted image differs from the bytes converted"

# The installed window opens offscreen and keeps running until it is ended;
# its settings go to the scratch folder.
if [[ "$MERVIX_GUI" == ON ]]; then
  HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" QT_QPA_PLATFORM=offscreen \
    "$prefix/bin/mervix" >"$scratch/window.log" 2>&1 &
  window=$!
  sleep 1.5
  if ! kill -0 "$window" 2>/dev/null; then
    wait "$window" || true
    cat "$scratch/window.log" >&2
    fail "the installed window ended on its own"
  fi
  kill "$window"
  wait "$window" 2>/dev/null || true
fi

# The completion offers the installed program's commands and a command's
# options.
completions="$(cd "$work" && bash -c '
  source "$1/share/bash-completion/completions/mervix-cli"
  complete_line() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _mervix_cli; echo "${COMPREPLY[*]}"; }
  complete_line "$1/bin/mervix-cli" con
  complete_line "$1/bin/mervix-cli" download --base' _ "$prefix")"
[[ "$completions" == $'convert\n--base-address' ]] || fail "bash completion offers: $completions"

validate_desktop_files "$prefix"

# The Ansible collection is found where it is installed: a module's
# documentation, with the fragment it shares, shown from there.
if command -v ansible-doc >/dev/null; then
  ANSIBLE_HOME="$scratch/ansible" ANSIBLE_COLLECTIONS_PATH="$prefix/share/ansible/collections" \
    ansible-doc -t module mervix.flash.firmware >"$scratch/ansible-doc.txt" 2>&1 ||
    { cat "$scratch/ansible-doc.txt" >&2; fail "ansible-doc of the installed mervix.flash.firmware"; }
fi

# The screenshots the metainfo and the installed README show are the ones
# in docs/screenshots.
shown="$(grep -ho 'screenshots/[A-Za-z0-9_-]*\.png' "$prefix/share/doc/mervix/README.md" \
  $([[ "$MERVIX_GUI" == ON ]] && echo "$prefix/share/metainfo/com.brevlund.mervix.metainfo.xml") | sort -u)"
[[ -n "$shown" ]] || fail "no screenshot is shown"
for picture in $shown; do
  [[ -f "$MERVIX_SOURCE_DIR/docs/$picture" ]] || fail "docs/$picture is shown but not there"
done
echo "installed into $prefix: files, --version, convert, window, manual pages, completion, validators all right"
