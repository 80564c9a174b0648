#!/usr/bin/env bash
# Makes the release archives in dist/: simrelay-VERSION-windows-x64.zip,
# simrelay-VERSION-linux-x64.tar.gz and SHA256SUMS. Two runs on one commit
# give the same bytes: the exe has no link time stamp, and every archive
# entry has a fixed order, owner, mode and time (the commit's).
#
# usage: packaging/make-dist.sh [OUT_DIR [BUILD_DIR]]   (default: dist build/dist)
#
# The exe is signed with Authenticode (Debian's osslsigncode) when these are
# set, and unsigned otherwise; the build folder keeps the unsigned exe.
#   SIMRELAY_SIGN_PKCS12         the PKCS#12 file with the certificate and key
#   SIMRELAY_SIGN_PASSWORD       its password
#   SIMRELAY_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional)
set -euo pipefail
# The certificate's path as the caller means it, and its password, taken
# out of the environment that the builds see.
sign_pkcs12=${SIMRELAY_SIGN_PKCS12:+$(realpath "$SIMRELAY_SIGN_PKCS12")}
sign_password=${SIMRELAY_SIGN_PASSWORD:-}
unset SIMRELAY_SIGN_PASSWORD
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-dist}")
builds=$(realpath -m "${2:-build/dist}")

# The time every file in the archives carries.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}
export TZ=UTC LC_ALL=C  # zip writes local time; sort and tar order by bytes.
umask 022

build() {  # build PRESET DIR: the bridge alone
  cmake --preset "$1" -B "$2" >/dev/null
  cmake --build "$2" --target simrelay
}
build dist-windows "$builds/windows"
build dist-linux "$builds/linux"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$builds/linux/CMakeCache.txt")

# sign_exe IN OUT: the signed copy of IN. The password reaches osslsigncode
# through a file that only this user can read, in a folder that goes when
# the script ends: never through a command line.
sign_exe() {
  secrets=$(mktemp -d)
  trap 'rm -rf "$secrets"' EXIT
  (umask 077 && printf '%s' "$sign_password" >"$secrets/password")
  local timestamp=()
  [ -z "${SIMRELAY_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "$SIMRELAY_SIGN_TIMESTAMP_URL")
  echo "signing simrelay.exe (Authenticode${timestamp:+, time-stamped})"
  mkdir -p "$(dirname "$2")"
  rm -f "$2"
  osslsigncode sign -pkcs12 "$sign_pkcs12" -readpass "$secrets/password" -h sha256 \
    -n simrelay "${timestamp[@]}" -in "$1" -out "$2" >/dev/null
  rm -rf "$secrets"
}

# stage NAME BINARY LINE_END: the folder one archive is made of.
stage() {
  local dir=$builds/stage/$1
  rm -rf "$dir"
  mkdir -p "$dir"
  install -m 755 "$2" "$dir/"
  cp -r examples/. "$dir/"
  sed -e "s/@VERSION@/$version/g" -e "s/@SIGNATURE@/$signature/" packaging/README.txt >"$dir/README.txt"
  [ "$3" = crlf ] && sed -i 's/$/\r/' "$dir/README.txt"
  find "$dir" -type d -exec chmod 755 {} + -o -type f ! -perm -u+x -exec chmod 644 {} +
  find "$dir" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

mkdir -p "$out"
windows=simrelay-$version-windows-x64
linux=simrelay-$version-linux-x64
windows_exe=$builds/windows/simrelay.exe
# What the read-me says of the exe beside it.
signature="simrelay.exe in this archive is not signed."
if [ -n "$sign_pkcs12" ]; then
  sign_exe "$windows_exe" "$builds/signed/simrelay.exe"
  windows_exe=$builds/signed/simrelay.exe
  signature="simrelay.exe in this archive is signed (Authenticode)."
else
  echo "simrelay.exe is unsigned (SIMRELAY_SIGN_PKCS12 is not set)"
fi
stage "$windows" "$windows_exe" crlf
stage "$linux" "$builds/linux/simrelay" lf

# The zip holds the files without a folder around them (Windows' "Extract
# All" makes one); -X leaves out the extra time and owner fields, -D the
# folder entries.
rm -f "$out/$windows.zip"
(cd "$builds/stage/$windows" && find . -type f | sed 's|^\./||' | sort | zip -q -X -D -9 "$out/$windows.zip" -@)

tar -C "$builds/stage" --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
  --format=gnu -cf - "$linux" | gzip -n -9 >"$out/$linux.tar.gz"

(cd "$out" && sha256sum "$windows.zip" "$linux.tar.gz" >SHA256SUMS && cat SHA256SUMS)
