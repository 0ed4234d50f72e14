# What scripts/test-windows and scripts/package-windows share about the
# window on Windows: where the Qt of `make qt-windows` is, the build of the
# window against it, and the folder of the window with everything it loads.
# Sourced; expects $root and $jobs.

qt_windows_cache=${MERVIX_QT_WINDOWS:-${XDG_CACHE_HOME:-$HOME/.cache}/mervix/qt-6.4.2-mingw64}
qt_windows_prefix=$qt_windows_cache/install
window_build_dir=${WIN_QT_BUILD_DIR:-build-windows-qt}
case "$window_build_dir" in /*) ;; *) window_build_dir=$root/$window_build_dir ;; esac

# Whether the Qt for Windows is there, complete.
have_qt_windows() { [ -f "$qt_windows_prefix/mervix-qt-complete" ]; }

# Configures and builds targets $@ of the window's build (the C++ runtime
# and Qt as DLLs).
build_window() {
  cmake -S "$root" -B "$window_build_dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/x86_64-w64-mingw32-qt.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DMERVIX_WINDOWS_GUI=ON -DCMAKE_PREFIX_PATH="$qt_windows_prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >/dev/null
  cmake --build "$window_build_dir" -j "$jobs" --target "$@"
}

# The DLLs of Qt's folder that $1 (an .exe or .dll) loads, and theirs, one
# name a line.
qt_dlls_of() {
  local seen=" " queue=("$1") file name
  while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    while read -r name; do
      [ -f "$qt_windows_prefix/bin/$name" ] || continue
      case "$seen" in *" $name "*) continue ;; esac
      seen="$seen$name "
      echo "$name"
      queue+=("$qt_windows_prefix/bin/$name")
    done < <(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
  done
}

# Puts the window into folder $1 as it runs on Windows: mervix.exe, the Qt
# and MinGW DLLs it loads, the windows platform plugin and the Windows
# styles, Qt's Japanese translation, and a qt.conf that makes the folder
# Qt's prefix.
stage_window() {
  local stage=$1 plugin dll
  mkdir -p "$stage/platforms" "$stage/styles" "$stage/translations"
  x86_64-w64-mingw32-strip -o "$stage/mervix.exe" "$window_build_dir/shell/mervix.exe"
  local plugins=("$qt_windows_prefix/plugins/platforms/qwindows.dll")
  for plugin in "$qt_windows_prefix"/plugins/styles/*.dll; do
    [ -f "$plugin" ] && plugins+=("$plugin")
  done
  for plugin in "${plugins[@]}"; do
    cp "$plugin" "$stage/$(basename "$(dirname "$plugin")")/"
  done
  for dll in $( (qt_dlls_of "$stage/mervix.exe"; for plugin in "${plugins[@]}"; do qt_dlls_of "$plugin"; done) |
    sort -u); do
    cp "$qt_windows_prefix/bin/$dll" "$stage/"
  done
  cp "$qt_windows_prefix/translations/qtbase_ja.qm" "$stage/translations/"
  printf '[Paths]\r\nPrefix = .\r\nPlugins = .\r\nTranslations = translations\r\n' >"$stage/qt.conf"
}
