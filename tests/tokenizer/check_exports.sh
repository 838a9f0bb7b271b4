#!/usr/bin/env bash
# The VM binds lexbridge by exported name and loads it on machines without
# SentencePiece: the library must export exactly the ten native methods, define
# no JNI_OnLoad, and need nothing beyond the C and C++ runtime.
set -euo pipefail
lib=${1:?usage: check_exports.sh <liblexbridge.so>}
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

prefix=Java_ai_pemrix_sentencepiece_jni_SentencePieceLibrary_
expected=$(printf "$prefix%s\n" createSentencePieceProcessor loadModel loadModelFromBytes \
  deleteSentencePieceProcessor tokenize encode detokenize decode idToPiece pieceToId | sort)
exported=$(nm -D --defined-only "$lib" | awk '{ print $NF }' | sort)
if [ "$exported" != "$expected" ]; then
  fail "exported names differ from the ten native methods:"
  diff <(echo "$expected") <(echo "$exported") || true
fi

# Runtime libraries of the C and C++ toolchain; SentencePiece and protobuf must
# be inside the library itself.
allowed='^(libstdc\+\+\.so\.6|libgcc_s\.so\.1|libm\.so\.6|libc\.so\.6|libpthread\.so\.0|libatomic\.so\.1|ld-linux[-a-z0-9_.]*\.so\.[0-9]+)$'
needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ -n "$needed" ] || fail "no NEEDED entries read from $lib"
for so in $needed; do
  [[ $so =~ $allowed ]] || fail "needs $so, which is not a C/C++ runtime library"
done
echo "$needed" | grep -qx 'libstdc++.so.6' || fail "does not need libstdc++.so.6"
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = liblexbridge.so ] || fail "shared-object name is '$soname', not liblexbridge.so"

echo "exports: $(echo "$exported" | wc -l) names; needs: $(echo $needed)"
if [ "$failures" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; exit 1; fi
