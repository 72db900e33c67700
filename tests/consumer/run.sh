#!/usr/bin/env bash
# run.sh BUILD_DIR SOURCE_DIR [EXTRA_FLAGS]: installs BUILD_DIR into a fresh
# prefix, then builds the consumer project against it twice, with CMake's
# find_package and with pkg-config and plain g++/gcc, and runs every host
# program against the simulator (QNV_DEVSIM_PORT, see with-devsim.sh).
# EXTRA_FLAGS are added to every compile and link (a sanitizer build's flags).
set -euo pipefail
build=$1
source=$2
flags=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "--- CMake: find_package(QNVNetSdk)"
cmake -S "$source/tests/consumer/project" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  -DCMAKE_INSTALL_PREFIX="$work/apps" >/dev/null
cmake --build "$work/cmake" >/dev/null
cmake --install "$work/cmake" >/dev/null
# From the build tree (build runpath) and installed (install runpath).
"$work/cmake/host_cpp" "$QNV_DEVSIM_PORT"
"$work/apps/bin/host_c" "$QNV_DEVSIM_PORT"

echo "--- pkg-config and plain compilers"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046
g++ -std=c++17 $flags -o "$work/host_cpp" "$source/tests/consumer/project/host.cpp" \
  $(pkg-config --cflags --libs qnvnetsdk) $(pkg-config --variable=rpath qnvnetsdk)
# shellcheck disable=SC2046
gcc -std=c99 $flags -o "$work/host_c" "$source/tests/consumer/project/host.c" \
  $(pkg-config --cflags --libs qnvnetsdk) -lpthread
# The C program has no runpath: the loader finds the SDK through the path.
"$work/host_cpp" "$QNV_DEVSIM_PORT"
LD_LIBRARY_PATH=$prefix/lib "$work/host_c" "$QNV_DEVSIM_PORT"

echo "--- Python, from the installed package"
case "$flags" in
  *thread*) echo "(skipped: the interpreter cannot load a ThreadSanitizer library)" ;;
  *)
    pyenv=(PYTHONPATH="$prefix/lib/python3/dist-packages")
    if [[ $flags == *address* ]]; then
      pyenv+=(LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
        ASAN_OPTIONS=detect_leaks=0)
    fi
    env "${pyenv[@]}" /usr/bin/python3 "$source/tests/consumer/project/host.py" "$QNV_DEVSIM_PORT"
    ;;
esac

echo "--- the installed tools"
"$prefix/bin/qnvctl" --version
"$prefix/bin/qnv-export" --version
"$prefix/bin/qnv-devsim" --version

echo "--- the recorder as installed: version, manual, example, systemd units"
"$prefix/bin/qnv-recorder" --version
if command -v help2man >/dev/null; then
  grep -q "flock" "$prefix/share/man/man1/qnv-recorder.1"
fi
# The example's password_file is the one thing it lacks.
check=$(QNV_GATE_PASSWORD=x STATE_DIRECTORY=$work/state "$prefix/bin/qnv-recorder" \
  --check-config "$prefix/share/qnv-recorder/recorder.example.toml" 2>&1 || true)
grep -q "yard.password cannot be opened" <<<"$check" || { echo "$check" >&2; exit 1; }
units=$prefix/lib/systemd/system
for unit in qnv-recorder.service qnv-recorder@.service; do
  grep -qx "ExecStart=$prefix/bin/qnv-recorder --config .*" "$units/$unit" ||
    { echo "$unit does not start $prefix/bin/qnv-recorder" >&2; exit 1; }
done
if command -v systemd-analyze >/dev/null; then
  # An instance of the template is checked under an instance's name.
  cp "$units/qnv-recorder@.service" "$work/qnv-recorder@site.service"
  for unit in "$units/qnv-recorder.service" "$work/qnv-recorder@site.service"; do
    systemd-analyze verify --man=no "$unit"
    # An exposure above 4.0 (of 10) fails.
    systemd-analyze security --offline=true --threshold=40 "$unit" | tail -1
  done
else
  echo "(systemd-analyze missing: the units are not checked)"
fi
