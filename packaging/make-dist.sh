#!/usr/bin/env bash
# Makes the release in dist/: simrelay-VERSION-windows-x64.zip,
# simrelay-VERSION-linux-x64.tar.gz, BUILDINFO and SHA256SUMS over the three,
# and unstripped/ with the programs whole, kept for symbolizing a crash and
# not published. Both archives hold the bridge and the X-Plane stand-in,
# stripped of symbols and debug sections. Unsigned archives are
# byte-identical from one commit built with the same Debian package versions
# (BUILDINFO lists them): the exes have no link time stamp, strip stamps
# with SOURCE_DATE_EPOCH, and every archive entry has a fixed order, owner,
# mode and time (the commit's). Signing changes the exes' signatures and the
# read-me's paragraph on them, nothing else in the archives.
#
# usage: packaging/make-dist.sh [OUT_DIR [BUILD_DIR]]   (default: dist build/dist)
# OUT_DIR must be empty or absent; each build folder is configured afresh.
#
# Only the committed tree ships, from its tag v<version>, signed. For a trial,
# named VERSION-trial-<commit>[-dirty] wherever the release's name stands:
#   SIMRELAY_DIST_DIRTY=1        builds a tree with changes or untracked files
#   SIMRELAY_DIST_UNTAGGED=1     builds a commit without the tag
# A release without a key is refused, unless asked for:
#   SIMRELAY_DIST_UNSIGNED=1     an unsigned release (refused beside a key)
#
# The exes are signed with Authenticode (Debian's osslsigncode) given a key
# that stays in a token, an HSM or a cloud key service, through PKCS#11:
#   SIMRELAY_SIGN_PKCS11_MODULE  the PKCS#11 module (.so) that reaches the key
#   SIMRELAY_SIGN_PKCS11_KEY     the key's pkcs11: URI
#   SIMRELAY_SIGN_CERT           the certificate: a PEM file (with the chain),
#                                or a pkcs11: URI of one on the token
#   SIMRELAY_SIGN_CHAIN          a PEM of the CA certificates between it and
#                                the root (needed with a pkcs11: certificate)
#   SIMRELAY_SIGN_PIN            the token's PIN, if it takes one
# or given a key file (tests):
#   SIMRELAY_SIGN_PKCS12         a PKCS#12 file with the certificate and key
#   SIMRELAY_SIGN_PASSWORD       its password
# Each signature is checked after signing against:
#   SIMRELAY_SIGN_CA_FILE        the code-signing root the CA publishes
#   SIMRELAY_SIGN_TSA_CA_FILE    the time-stamp server's root (default: the
#                                system's list, /etc/ssl/certs/ca-certificates.crt)
# and its signer against packaging/publisher; with no signer pinned there:
#   SIMRELAY_SIGN_ANY_PUBLISHER=1  signs with any certificate
# A signature needs a time-stamp to outlive its certificate, so signing
# needs one of:
#   SIMRELAY_SIGN_TIMESTAMP_URL  RFC 3161 time-stamp servers, separated by
#                                spaces: the next is asked when one fails
#   SIMRELAY_SIGN_UNSTAMPED=1    no time-stamp (a throw-away certificate)
set -euo pipefail
cd "$(dirname "$0")/.."
refuse() {
  echo "make-dist: $*" >&2
  exit 1
}

# Before any build, what the variables ask for: a misspelt one, or one
# without a key, would otherwise give an unsigned release and exit 0.
signs=${SIMRELAY_SIGN_PKCS11_MODULE:-${SIMRELAY_SIGN_PKCS12:-}}
keys="SIMRELAY_SIGN_PKCS11_MODULE (a token) or SIMRELAY_SIGN_PKCS12"
for name in $(compgen -v SIMRELAY_SIGN_) $(compgen -v SIMRELAY_DIST_); do
  case $name in
    SIMRELAY_SIGN_PKCS11_MODULE | SIMRELAY_SIGN_PKCS12 | SIMRELAY_DIST_DIRTY | SIMRELAY_DIST_UNTAGGED | \
      SIMRELAY_DIST_UNSIGNED) ;;
    SIMRELAY_SIGN_PKCS11_KEY | SIMRELAY_SIGN_CERT | SIMRELAY_SIGN_CHAIN | SIMRELAY_SIGN_PIN | \
      SIMRELAY_SIGN_PASSWORD | SIMRELAY_SIGN_CA_FILE | SIMRELAY_SIGN_TSA_CA_FILE | \
      SIMRELAY_SIGN_TIMESTAMP_URL | SIMRELAY_SIGN_UNSTAMPED | SIMRELAY_SIGN_ANY_PUBLISHER)
      [ -n "$signs" ] || [ -z "${!name}" ] || refuse "$name is set, but no key: $keys is missing" ;;
    *) refuse "$name is not one of make-dist's variables (docs/DEVELOPING.md lists them)" ;;
  esac
done
[ -z "${SIMRELAY_SIGN_PKCS11_MODULE:-}" ] || [ -z "${SIMRELAY_SIGN_PKCS12:-}" ] ||
  refuse "SIMRELAY_SIGN_PKCS11_MODULE and SIMRELAY_SIGN_PKCS12 are both set: sign with one key"
# A new shell, sudo or an unset CI secret loses the key without a word: an
# unsigned release is made only when asked for.
trial=
[ "${SIMRELAY_DIST_DIRTY:-}" != 1 ] && [ "${SIMRELAY_DIST_UNTAGGED:-}" != 1 ] || trial=1
if [ "${SIMRELAY_DIST_UNSIGNED:-}" = 1 ]; then
  [ -z "$signs" ] || refuse "SIMRELAY_DIST_UNSIGNED=1 asks for unsigned exes, but a key is set ($keys)"
elif [ -z "$signs$trial" ]; then
  refuse "a release is signed, and no key is set: $keys, with the variables that go with it" \
    "(docs/DEVELOPING.md, Signing). SIMRELAY_DIST_UNSIGNED=1 makes an unsigned release on purpose."
fi
# The signer that packaging/publisher pins: its lines other than comments.
pin=$(grep -v -e '^#' -e '^$' packaging/publisher || true)
if [ -n "$signs" ] && [ "${SIMRELAY_SIGN_ANY_PUBLISHER:-}" = 1 ]; then
  [ -z "$pin" ] || refuse "SIMRELAY_SIGN_ANY_PUBLISHER=1, but packaging/publisher pins the signer"
elif [ -n "$signs" ] && [ -z "$pin" ]; then
  refuse "packaging/publisher pins no signer: commit the certificate's subject and its issuer's" \
    "fingerprint there (docs/DEVELOPING.md, Signing), or sign with any: SIMRELAY_SIGN_ANY_PUBLISHER=1"
fi
# Nothing left from an earlier run ships, nor goes unnamed in SHA256SUMS.
out=$(realpath -m "${1:-dist}")
builds=$(realpath -m "${2:-build/dist}")
[ -z "$(ls -A "$out" 2>/dev/null)" ] ||
  refuse "$out must be empty or absent; it holds:"$'\n'"$(ls -A "$out")"

# file_of NAME [WHAT...]: the full path of the file that variable NAME names.
file_of() {
  [ -n "${!1:-}" ] || refuse "$1 is missing${2:+: ${*:2}}"
  [ -r "${!1}" ] || refuse "$1: cannot read ${!1}"
  realpath "${!1}"
}
sign_key=()
if [ -n "${SIMRELAY_SIGN_PKCS11_MODULE:-}" ]; then
  module=$(file_of SIMRELAY_SIGN_PKCS11_MODULE)
  case ${SIMRELAY_SIGN_CERT:-} in
    "") refuse "SIMRELAY_SIGN_CERT is missing: the certificate, a PEM file or a pkcs11: URI" ;;
    # A token seldom holds the CA certificates that lead to the root.
    pkcs11:*)
      [ -n "${SIMRELAY_SIGN_CHAIN:-}" ] || refuse "SIMRELAY_SIGN_CHAIN is missing: the CA certificates" \
        "between the token's certificate and the root (PEM), which go into the signature"
      sign_key=(-pkcs11cert "$SIMRELAY_SIGN_CERT") ;;
    *) sign_key=(-certs "$(file_of SIMRELAY_SIGN_CERT)") ;;
  esac
  [ -n "${SIMRELAY_SIGN_PKCS11_KEY:-}" ] || refuse "SIMRELAY_SIGN_PKCS11_KEY is missing: the key's pkcs11: URI"
  sign_key=(-pkcs11module "$module" "${sign_key[@]}" -key "$SIMRELAY_SIGN_PKCS11_KEY")
elif [ -n "${SIMRELAY_SIGN_PKCS12:-}" ]; then
  sign_key=(-pkcs12 "$(file_of SIMRELAY_SIGN_PKCS12)")
fi
[ -z "${SIMRELAY_SIGN_CHAIN:-}" ] || sign_key+=(-ac "$(file_of SIMRELAY_SIGN_CHAIN)")
# The PIN or password taken out of the environment that the builds see.
sign_secret=${SIMRELAY_SIGN_PIN:-${SIMRELAY_SIGN_PASSWORD:-}}
unset SIMRELAY_SIGN_PIN SIMRELAY_SIGN_PASSWORD
timestamp=()
read -ra urls <<<"${SIMRELAY_SIGN_TIMESTAMP_URL:-}"
for url in "${urls[@]}"; do timestamp+=(-ts "$url"); done
if [ -n "$signs" ]; then
  ca_file=$(file_of SIMRELAY_SIGN_CA_FILE "the code-signing root certificate that the CA publishes," \
    "to check the signatures against (the system's list holds web roots only)")
  SIMRELAY_SIGN_TSA_CA_FILE=${SIMRELAY_SIGN_TSA_CA_FILE:-/etc/ssl/certs/ca-certificates.crt}
  tsa_ca_file=$(file_of SIMRELAY_SIGN_TSA_CA_FILE)
  [ ${#timestamp[@]} -gt 0 ] || [ "${SIMRELAY_SIGN_UNSTAMPED:-}" = 1 ] ||
    refuse "not signing without SIMRELAY_SIGN_TIMESTAMP_URL: a signature without" \
      "a time-stamp stops being valid when its certificate expires." \
      "SIMRELAY_SIGN_UNSTAMPED=1 signs without one (for a throw-away certificate)."
fi

# shellcheck source=.ci/lib.sh
source .ci/lib.sh
install_missing "${packages_dist[@]}"
[ -z "$signs" ] || install_missing "${packages_sign[@]}"

# Only the committed tree ships, and a release from its tag.
[ "$(git rev-parse --show-toplevel 2>/dev/null)" -ef . ] ||
  refuse "needs a git checkout of simrelay: the archives hold its committed files, with its commit's time"
changes=$(git status --porcelain)
if [ -n "$changes" ] && [ "${SIMRELAY_DIST_DIRTY:-}" != 1 ]; then
  refuse "only committed files ship; commit or remove these first" \
    "(SIMRELAY_DIST_DIRTY=1 makes a trial build anyway):"$'\n'"$changes"
fi
version=$(sed -n 's/^project(simrelay VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || refuse "found no project(simrelay VERSION …) in CMakeLists.txt"
grep -qx "v$version" <<<"$(git tag --points-at HEAD)" || [ "${SIMRELAY_DIST_UNTAGGED:-}" = 1 ] ||
  refuse "a release is built at its tag, and HEAD has no tag v$version" \
    "(git tag v$version; SIMRELAY_DIST_UNTAGGED=1 makes a trial build anyway)"

# A trial says so in every name, and the release's version stays the one
# CMakeLists.txt gives (no tag of git describe's, which may be another's).
name=$version
if [ -n "$trial" ]; then
  name=$version-trial-$(git rev-parse HEAD | cut -c 1-12)${changes:+-dirty}
  echo "a trial build: $name"
fi

# What decides the bytes, for a rebuild: the toolchain, not its metapackages.
packages=(g++-12 libstdc++-12-dev binutils g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix-runtime
  mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 cmake ninja-build zip tar gzip)
[ -z "$signs" ] || packages+=(osslsigncode)
installed=$(dpkg-query -W -f '${db:Status-Status} ${Package}=${Version}\n' "${packages[@]}" 2>/dev/null |
  sed -n 's/^installed //p')
[ "$(wc -l <<<"$installed")" -eq ${#packages[@]} ] ||
  refuse "BUILDINFO names these Debian packages, and not all are installed: ${packages[*]}"

# The time every file in the archives carries.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C  # zip writes local time; sort and tar order by bytes.
umask 022

# build PRESET NAME SUFFIX: the bridge and the stand-in, whole in
# BUILDS/NAME, stripped in BUILDS/stripped/NAME.
build() {
  local dir=$builds/$2 strip
  # Afresh: an old cache would keep whatever a manual configure set.
  cmake --fresh --preset "$1" -B "$dir" >/dev/null
  cmake --build "$dir" --target simrelay xplane-standin
  strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$dir/CMakeCache.txt")
  mkdir -p "$builds/stripped/$2"
  "$strip" -o "$builds/stripped/$2/simrelay$3" "$dir/simrelay$3"
  "$strip" -o "$builds/stripped/$2/xplane-standin$3" "$dir/tools/xplane-standin/xplane-standin$3"
}
build dist-windows windows .exe
build dist-linux linux ""

# sign_exe IN OUT: the signed copy of IN, checked. The PIN or password
# reaches osslsigncode through a file that only this user can read, in a
# folder that goes when the script ends: never through a command line. With
# no PIN, none is passed: a key that takes none fails on -readpass.
sign_exe() {
  echo "signing $(basename "$1") (Authenticode${timestamp:+, time-stamped})"
  rm -f "$2"
  osslsigncode sign "${sign_key[@]}" "${readpass[@]}" -h sha256 \
    -n "$(basename "$1" .exe)" "${timestamp[@]}" -in "$1" -out "$2" >/dev/null
  verify_exe "$2"
  [ -z "$pin" ] || pinned "$2"
}

# verify_exe EXE: fails unless osslsigncode finds EXE's signature, and its
# time-stamp if it has one, valid. Neither its sign nor its verify exits
# non-zero over a time-stamp that is missing, untrusted or of the wrong
# hash: only these two lines of verify's tell.
verify_exe() {
  local log=$secrets/verify.log
  osslsigncode verify -CAfile "$ca_file" -TSA-CAfile "$tsa_ca_file" -in "$1" >"$log" 2>&1 || true
  verify_says "Signature verification: ok" "the signature of $(basename "$1") does not check out against" \
    "SIMRELAY_SIGN_CA_FILE ($ca_file): is that the root of SIMRELAY_SIGN_CERT, and SIMRELAY_SIGN_CHAIN the CAs between?"
  [ ${#timestamp[@]} -eq 0 ] || verify_says "Timestamp Server Signature verification: ok" \
    "the time-stamp of $(basename "$1") does not check out: look at SIMRELAY_SIGN_TIMESTAMP_URL" \
    "and SIMRELAY_SIGN_TSA_CA_FILE ($tsa_ca_file)"
}

# verify_says LINE WHY...: refuses with verify's output and WHY unless its
# output has LINE.
verify_says() {
  grep -qx "$1" "$secrets/verify.log" || { cat "$secrets/verify.log" >&2 && refuse "${@:2}"; }
}

# signer EXE: writes the certificate that signed EXE to signer.pem and the
# one that issued it, when the signature holds it, to issuer.pem (in
# $secrets). The signer is the certificate that issued none of the others.
signer() {
  rm -f "$secrets"/{signature,signer,issuer}.pem
  osslsigncode extract-signature -pem -in "$1" -out "$secrets/signature.pem" >/dev/null
  openssl pkcs7 -print_certs -in "$secrets/signature.pem" | awk -v dir="$secrets" '
    /^subject=/ { n++; subject[n] = substr($0, 9) }
    /^issuer=/ { issuer[n] = substr($0, 8); if (issuer[n] != subject[n]) issued[issuer[n]] = 1 }
    /^-----BEGIN/, /^-----END/ { pem[n] = pem[n] $0 "\n" }
    END {
      for (i = 1; i <= n; i++) if (!(subject[i] in issued)) { leaf = i; break }
      printf "%s", pem[leaf] >dir "/signer.pem"
      for (i = 1; i <= n; i++) if (subject[i] == issuer[leaf]) printf "%s", pem[i] >dir "/issuer.pem"
    }'
}

# pinned EXE: refuses unless EXE's signer is the one packaging/publisher
# pins, by its whole subject and its issuer's fingerprint: a test
# certificate with the publisher's name, or one from another CA, is not.
pinned() {
  local got why="A renewed certificate? docs/DEVELOPING.md, Signing, says how to pin it."
  signer "$1"
  got=$(openssl x509 -noout -subject -in "$secrets/signer.pem")
  [ -s "$secrets/issuer.pem" ] || refuse "the signature of $(basename "$1") holds no certificate that issued" \
    "its signer's ($got), to check against packaging/publisher: is SIMRELAY_SIGN_CHAIN missing?"
  got+=$'\n'$(openssl x509 -noout -fingerprint -sha256 -in "$secrets/issuer.pem")
  [ "$got" = "$pin" ] ||
    refuse "$(basename "$1") is signed by"$'\n'"$got"$'\n'"and packaging/publisher pins"$'\n'"$pin"$'\n'"$why"
}

# stage NAME LINE_END FILE...: the folder one archive is made of.
stage() {
  local dir=$builds/stage/$1 text
  rm -rf "$dir"
  mkdir -p "$dir"
  install -m 755 "${@:3}" "$dir/"
  (cd examples && git ls-files -z | xargs -0 cp --parents -t "$dir")
  cp LICENSE packaging/THIRD-PARTY-NOTICES.txt "$dir/"
  # The template's own CRs would hide its @SIGNED@ and @UNSIGNED@ lines.
  sed -e 's/\r$//' -e "s/@VERSION@/$name/g" "${readme[@]}" packaging/README.txt >"$dir/README.txt"
  if [ "$2" = crlf ]; then
    # A line that has its CR already (an editor's, a checkout's) keeps one.
    for text in README.txt LICENSE THIRD-PARTY-NOTICES.txt; do sed -i 's/\r*$/\r/' "$dir/$text"; done
  fi
  find "$dir" -type d -exec chmod 755 {} + -o -type f ! -perm -u+x -exec chmod 644 {} +
  find "$dir" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

windows=simrelay-$name-windows-x64
linux=simrelay-$name-linux-x64
exes=$builds/stripped/windows
# The read-me keeps the paragraph on the exes beside it, after @SIGNED@ or
# @UNSIGNED@, with the publisher filled in.
readme=(-e '/^@SIGNED@$/,/^$/d' -e '/^@UNSIGNED@$/d')
if [ -n "$signs" ]; then
  secrets=$(mktemp -d)
  trap 'rm -rf "$secrets"' EXIT
  readpass=()
  if [ -n "$sign_secret" ]; then
    (umask 077 && printf '%s' "$sign_secret" >"$secrets/secret")
    readpass=(-readpass "$secrets/secret")
  fi
  mkdir -p "$builds/signed"
  sign_exe "$exes/simrelay.exe" "$builds/signed/simrelay.exe"
  sign_exe "$exes/xplane-standin.exe" "$builds/signed/xplane-standin.exe"
  # Windows names the signer's common name as the publisher.
  signer "$builds/signed/simrelay.exe"
  signer=$(openssl x509 -noout -subject -nameopt sep_multiline,utf8,sname -in "$secrets/signer.pem" |
    sed -n 's/^ *CN=//p')
  [ -n "$signer" ] || refuse "the signing certificate has no common name (CN) to name as the publisher"
  rm -rf "$secrets"
  exes=$builds/signed
  readme=(-e '/^@UNSIGNED@$/,/^$/d' -e '/^@SIGNED@$/d' -e "s/@PUBLISHER@/$(sed 's/[\/&]/\\&/g' <<<"$signer")/g")
else
  echo "the exes are unsigned (no signing key is set)"
fi
mkdir -p "$out"
stage "$windows" crlf "$exes/simrelay.exe" "$exes/xplane-standin.exe"
stage "$linux" lf "$builds/stripped/linux/simrelay" "$builds/stripped/linux/xplane-standin"

# The zip holds the files without a folder around them (Windows' "Extract
# All" makes one); -X leaves out the extra time and owner fields, -D the
# folder entries.
rm -f "$out/$windows.zip"
(cd "$builds/stage/$windows" && find . -type f | sed 's|^\./||' | sort | zip -q -X -D -9 "$out/$windows.zip" -@)

tar -C "$builds/stage" --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
  --format=gnu -cf - "$linux" | gzip -n -9 >"$out/$linux.tar.gz"

# What a rebuild needs to give the same bytes; no path and no time of this
# build's, so that two builds give the same file.
{
  echo "simrelay $name"
  echo "commit $(git rev-parse HEAD)"
  echo "SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH"
  echo "$installed"
} >"$out/BUILDINFO"
(cd "$out" && sha256sum "$windows.zip" "$linux.tar.gz" BUILDINFO >SHA256SUMS && cat SHA256SUMS)

# The programs whole, for symbolizing a crash when the build folder and the
# Debian package versions are gone: kept with the release, not published.
mkdir "$out/unstripped"
cp -p "$builds"/windows/{simrelay.exe,tools/xplane-standin/xplane-standin.exe} \
  "$builds"/linux/{simrelay,tools/xplane-standin/xplane-standin} "$out/unstripped/"
