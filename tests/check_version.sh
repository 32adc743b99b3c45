#!/bin/sh
# check_version.sh VERSION HEX: the README and qo(3) show the header's
# version, as text and as one number.
set -eu
version=$1 hex=$2
fail() { echo "$1 does not show $2" >&2; exit 1; }
grep -qF "(\`\"$version\"\`)" README.md || fail README.md "\"$version\""
grep -qF "(\`0x$hex\`)" README.md || fail README.md "0x$hex"
grep -qF "dq$version\\(dq" man/qo.3 || fail man/qo.3 "\"$version\""
grep -qF "0x$hex" man/qo.3 || fail man/qo.3 "0x$hex"
