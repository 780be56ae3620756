#!/usr/bin/env bash
# Pipes example code texts through "vtxtool wire roundtrip" and checks output and exit status.
set -u
fail=0
same() {  # text that must come back unchanged
  out=$(printf '%s' "$1" | "$VTXTOOL" wire roundtrip) || { echo "FAIL (rc) $1"; fail=1; return; }
  [ "$out" = "$1" ] || { echo "FAIL $1 -> $out"; fail=1; }
}
error() {  # text that must fail with the given stderr line
  err=$(printf '%s' "$1" | "$VTXTOOL" wire roundtrip 2>&1 >/dev/null)
  rc=$?
  [ $rc -eq 1 ] && [ "$err" = "$2" ] || { echo "FAIL $1 -> rc $rc: $err"; fail=1; }
}
same 'RE=4;n:I=5;s:T=3"abc";f:B=T;x:X=;'
same 'FC=Sum;RE=2;a:I=1;b:I=2;'
same 'T=3"abc";'
same 'RE=0;'
same 'D=2024-5-5 12:30:0.0;'
same 'D=2024-1-31;'
same 'D=6:0:0.0;'
same 'D=12:0:0.0;'
same 'AR=4;F=1.5;F=-0.25;F=1E20;F=1.5E-10;'
same 'AR=3;C=12.5;C=-3;C=0.0001;'
same 'AR=4;I=;F=;D=;B=;'
same 'FC=;RE=0;'
same 'AR=3;S=;T=;BS=;'
same 'DS=2;a:I,0,F;b:S,0,F;ROWS=2;AR=1;I=1;AR=2;X=;T=1"x";'
error 'RE=2;a:I=1;' 'ERtcInfo: END-MARK missing.'
error 'I=1;I=2;' 'ERtcInfo: String contains more data than expected.'
out=$(printf 'I=0;' | "$VTXTOOL" wire roundtrip); [ "$out" = 'I=;' ] || { echo "FAIL I=0"; fail=1; }
out=$(printf 'B=no;' | "$VTXTOOL" wire roundtrip); [ "$out" = 'B=;' ] || { echo "FAIL B=no"; fail=1; }
err=$(printf 'D=2024-5-5 25:0:0.0;' | "$VTXTOOL" wire roundtrip 2>&1 >/dev/null)
case "$err" in EConvertError:*"Invalid date format.") ;; *) echo "FAIL date: $err"; fail=1 ;; esac
printf 'RE=1;a:AR=1;T=1"x";' | "$VTXTOOL" wire dump | grep -q 'Text "x"' || { echo "FAIL dump"; fail=1; }
exit $fail
