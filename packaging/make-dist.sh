#!/usr/bin/env bash
# Makes the release archives in dist/: simrelay-VERSION-windows-x64.zip,
# simrelay-VERSION-linux-x64.tar.gz and SHA256SUMS. Both hold the bridge and
# the X-Plane stand-in, stripped of symbols and debug sections; the build
# folder keeps them whole. Two runs on one commit give the same bytes: the
# exes have no link time stamp, strip stamps with SOURCE_DATE_EPOCH, and
# every archive entry has a fixed order, owner, mode and time (the commit's).
#
# usage: packaging/make-dist.sh [OUT_DIR [BUILD_DIR]]   (default: dist build/dist)
#
# The exes are signed with Authenticode (Debian's osslsigncode) given a key
# that stays in a token, an HSM or a cloud key service, through PKCS#11:
#   SIMRELAY_SIGN_PKCS11_MODULE  the PKCS#11 module (.so) that reaches the key
#   SIMRELAY_SIGN_PKCS11_KEY     the key's pkcs11: URI
#   SIMRELAY_SIGN_CERT           the certificate: a PEM file (with the chain),
#                                or a pkcs11: URI of one on the token
#   SIMRELAY_SIGN_PIN            the token's PIN
# or given a key file (tests):
#   SIMRELAY_SIGN_PKCS12         a PKCS#12 file with the certificate and key
#   SIMRELAY_SIGN_PASSWORD       its password
# and unsigned otherwise. A signature needs a time-stamp to outlive its
# certificate, so signing needs one of:
#   SIMRELAY_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server
#   SIMRELAY_SIGN_UNSTAMPED=1    no time-stamp (a throw-away certificate)
set -euo pipefail
# Paths as the caller means them; the PIN or password taken out of the
# environment that the builds see.
sign_key=()
if [ -n "${SIMRELAY_SIGN_PKCS11_MODULE:-}" ]; then
  case ${SIMRELAY_SIGN_CERT:?names the certificate for SIMRELAY_SIGN_PKCS11_MODULE} in
    pkcs11:*) sign_cert=(-pkcs11cert "$SIMRELAY_SIGN_CERT") ;;
    *) sign_cert=(-certs "$(realpath "$SIMRELAY_SIGN_CERT")") ;;
  esac
  sign_key=(-pkcs11module "$(realpath "$SIMRELAY_SIGN_PKCS11_MODULE")" "${sign_cert[@]}"
    -key "${SIMRELAY_SIGN_PKCS11_KEY:?names the key for SIMRELAY_SIGN_PKCS11_MODULE}")
elif [ -n "${SIMRELAY_SIGN_PKCS12:-}" ]; then
  sign_key=(-pkcs12 "$(realpath "$SIMRELAY_SIGN_PKCS12")")
fi
sign_secret=${SIMRELAY_SIGN_PIN:-${SIMRELAY_SIGN_PASSWORD:-}}
unset SIMRELAY_SIGN_PIN SIMRELAY_SIGN_PASSWORD
timestamp=()
if [ -n "${SIMRELAY_SIGN_TIMESTAMP_URL:-}" ]; then
  timestamp=(-ts "$SIMRELAY_SIGN_TIMESTAMP_URL")
elif [ ${#sign_key[@]} -gt 0 ] && [ "${SIMRELAY_SIGN_UNSTAMPED:-}" != 1 ]; then
  echo "make-dist: not signing without SIMRELAY_SIGN_TIMESTAMP_URL: a signature without" \
    "a time-stamp stops being valid when its certificate expires." \
    "SIMRELAY_SIGN_UNSTAMPED=1 signs without one (for a throw-away certificate)." >&2
  exit 1
fi
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-dist}")
builds=$(realpath -m "${2:-build/dist}")

# The time every file in the archives carries.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || echo 0)}
export TZ=UTC LC_ALL=C  # zip writes local time; sort and tar order by bytes.
umask 022

# build PRESET NAME SUFFIX: the bridge and the stand-in, whole in
# BUILDS/NAME, stripped in BUILDS/stripped/NAME.
build() {
  local dir=$builds/$2 strip
  cmake --preset "$1" -B "$dir" >/dev/null
  cmake --build "$dir" --target simrelay xplane-standin
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$dir/CMakeCache.txt")
  mkdir -p "$builds/stripped/$2"
  "$strip" -o "$builds/stripped/$2/simrelay$3" "$dir/simrelay$3"
  "$strip" -o "$builds/stripped/$2/xplane-standin$3" "$dir/tools/xplane-standin/xplane-standin$3"
}
build dist-windows windows .exe
build dist-linux linux ""
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$builds/linux/CMakeCache.txt")

# sign_exe IN OUT: the signed copy of IN. The PIN or password reaches
# osslsigncode through a file that only this user can read, in a folder that
# goes when the script ends: never through a command line.
sign_exe() {
  echo "signing $(basename "$1") (Authenticode${timestamp:+, time-stamped})"
  rm -f "$2"
  osslsigncode sign "${sign_key[@]}" -readpass "$secrets/secret" -h sha256 \
    -n "$(basename "$1" .exe)" "${timestamp[@]}" -in "$1" -out "$2" >/dev/null
}

# stage NAME LINE_END FILE...: the folder one archive is made of.
stage() {
  local dir=$builds/stage/$1 text
  rm -rf "$dir"
  mkdir -p "$dir"
  install -m 755 "${@:3}" "$dir/"
  cp -r examples/. "$dir/"
  cp LICENSE packaging/THIRD-PARTY-NOTICES.txt "$dir/"
  sed -e "s/@VERSION@/$version/g" -e "s/@SIGNATURE@/$signature/" packaging/README.txt >"$dir/README.txt"
  if [ "$2" = crlf ]; then
    for text in README.txt LICENSE THIRD-PARTY-NOTICES.txt; do sed -i 's/$/\r/' "$dir/$text"; done
  fi
  find "$dir" -type d -exec chmod 755 {} + -o -type f ! -perm -u+x -exec chmod 644 {} +
  find "$dir" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

mkdir -p "$out"
windows=simrelay-$version-windows-x64
linux=simrelay-$version-linux-x64
exes=$builds/stripped/windows
# What the read-me says of the exes beside it.
signature="simrelay.exe and xplane-standin.exe in this archive are not signed."
if [ ${#sign_key[@]} -gt 0 ]; then
  secrets=$(mktemp -d)
  trap 'rm -rf "$secrets"' EXIT
  (umask 077 && printf '%s' "$sign_secret" >"$secrets/secret")
  mkdir -p "$builds/signed"
  sign_exe "$exes/simrelay.exe" "$builds/signed/simrelay.exe"
  sign_exe "$exes/xplane-standin.exe" "$builds/signed/xplane-standin.exe"
  rm -rf "$secrets"
  exes=$builds/signed
  signature="simrelay.exe and xplane-standin.exe in this archive are signed (Authenticode)."
else
  echo "the exes are unsigned (no signing key is set)"
fi
stage "$windows" crlf "$exes/simrelay.exe" "$exes/xplane-standin.exe"
stage "$linux" lf "$builds/stripped/linux/simrelay" "$builds/stripped/linux/xplane-standin"

# The zip holds the files without a folder around them (Windows' "Extract
# All" makes one); -X leaves out the extra time and owner fields, -D the
# folder entries.
rm -f "$out/$windows.zip"
(cd "$builds/stage/$windows" && find . -type f | sed 's|^\./||' | sort | zip -q -X -D -9 "$out/$windows.zip" -@)

tar -C "$builds/stage" --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
  --format=gnu -cf - "$linux" | gzip -n -9 >"$out/$linux.tar.gz"

(cd "$out" && sha256sum "$windows.zip" "$linux.tar.gz" >SHA256SUMS && cat SHA256SUMS)
