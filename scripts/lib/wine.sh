# Sourced by the scripts that run the Windows build under Wine: where Wine's programs are, and
# making a prefix. The caller sets WINEPREFIX and defines say and fail.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

# Creates the prefix unless it has its registry already.
wine_prefix_ready() {
    [ -f "$WINEPREFIX/system.reg" ] && return
    say "creating the Wine prefix ${WINEPREFIX#"$root"/}"
    mkdir -p "$WINEPREFIX"
    "$wine" wineboot --init >/dev/null 2>&1 </dev/null || true
    # The registry reaches the disk when the server ends, a few seconds after the last
    # program: system.reg is not there before.
    "$wineserver" -w || true
    [ -f "$WINEPREFIX/system.reg" ] || fail "wineboot did not create $WINEPREFIX"
}
