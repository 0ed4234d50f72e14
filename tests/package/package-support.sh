# Shared by the install and package checks (sourced). They get from CTest:
#   MERVIX_SOURCE_DIR the repository
#   MERVIX_BUILD_DIR  the build folder (its cmake_install.cmake, CPackConfig.cmake)
#   MERVIX_VERSION    the project version
#   MERVIX_GUI        ON when the window is built
set -euo pipefail

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Every file an installation holds, relative to its prefix, sorted: a file
# left out of the install rules fails the checks as much as a stray one.
expected_files() {
  {
    echo bin/mervix-cli
    echo bin/mervix-devsim
    echo share/bash-completion/completions/mervix-cli
    echo share/doc/mervix/README.md
    echo share/doc/mervix/changelog.gz
    echo share/doc/mervix/copyright
    echo share/man/man1/mervix-cli.1.gz
    echo share/man/man1/mervix-devsim.1.gz
    local collection=share/ansible/collections/ansible_collections/mervix/flash
    for file in README.md galaxy.yml meta/runtime.yml playbooks/site_waves.yml playbooks/sites.example.yml \
        plugins/doc_fragments/download.py plugins/module_utils/mervix_cli.py plugins/modules/firmware.py \
        plugins/modules/probe.py plugins/modules/user_module.py; do
      echo "$collection/$file"
    done
    if [[ "$MERVIX_GUI" == ON ]]; then
      echo bin/mervix
      echo share/applications/mervix.desktop
      echo share/man/man1/mervix.1.gz
      echo share/metainfo/com.brevlund.mervix.metainfo.xml
      for size in 16 22 24 32 48 64 128 256; do
        echo "share/icons/hicolor/${size}x${size}/apps/mervix.png"
      done
    fi
  } | LC_ALL=C sort
}

# Compares a sorted list on standard input with expected_files.
check_file_list() {  # WHAT
  local listed
  listed="$(cat)"
  if ! diff -u <(expected_files) <(printf '%s\n' "$listed") >&2; then
    fail "$1 does not hold the expected files (- missing, + unexpected)"
  fi
}

# The desktop entry and the metainfo under ROOT/share pass their validators.
validate_desktop_files() {  # ROOT
  [[ "$MERVIX_GUI" == ON ]] || return 0
  desktop-file-validate "$1/share/applications/mervix.desktop" || fail "desktop-file-validate"
  appstreamcli validate --no-net "$1/share/metainfo/com.brevlund.mervix.metainfo.xml" >&2 ||
    fail "appstreamcli validate"
}

scratch="$(mktemp -d "${TMPDIR:-/tmp}/mervix-package-XXXXXX")"
cleanup_scratch() {
  if [[ -z "${MERVIX_KEEP_TEST_FILES:-}" ]]; then rm -rf "$scratch"; fi
}
trap cleanup_scratch EXIT
