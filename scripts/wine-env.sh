# Sourced by the scripts that run the Windows programs under Wine (test-gui.sh, compare-wine.sh):
#   wine_prepare MINGW_BUILD_DIR
# sets WINEPREFIX (MINGW_BUILD_DIR/wineprefix, made once) and the Wine settings the tests need, and
# returns non-zero with a note in $wine_skip when Wine is missing or cannot run the build's
# kestrix.exe (the caller then skips).

wine_prepare() {
    local build=$1 tool
    wine_skip=""
    for tool in wine wineserver; do
        command -v $tool >/dev/null || { wine_skip="$tool is not installed"; return 1; }
    done
    export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== preparing the Wine prefix $WINEPREFIX"
        timeout 120 wineboot -i >/dev/null 2>&1
        cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
    fi
    # No window manager on a virtual screen: Wine draws the captions itself (and a hidden window
    # does not stall); a crash exits with code 5 instead of opening a debugger; a web page opens
    # in a "browser" that does nothing (the help test checks what was opened), .html being a web
    # page as on every Windows (the prefix is made without Wine's HTML engine).
    printf '%s\n' 'REGEDIT4' '' \
        '[HKEY_CURRENT_USER\Software\Wine\X11 Driver]' '"Managed"="N"' '' \
        '[HKEY_CURRENT_USER\Software\Wine\WineDbg]' '"ShowCrashDialog"=dword:00000000' '' \
        '[HKEY_CURRENT_USER\Software\Wine\WineBrowser]' '"Browsers"="true"' '' \
        '[HKEY_CLASSES_ROOT\.html]' '@="htmlfile"' >"$build/wine-settings.reg"
    if ! cmp -s "$build/wine-settings.reg" "$WINEPREFIX/kestrix-settings.reg"; then
        timeout 60 wine regedit /S "$build/wine-settings.reg" >/dev/null 2>&1
        timeout 30 wineserver -k; timeout 30 wineserver -w
        cp "$build/wine-settings.reg" "$WINEPREFIX/kestrix-settings.reg"
    fi
    # Installed is not enough: a Wine that cannot start a program skips too.
    if ! timeout 60 wine "$build/kestrix.exe" --version >/dev/null 2>&1; then
        timeout 10 wineserver -k 2>/dev/null
        wine_skip="wine cannot run $build/kestrix.exe"
        return 1
    fi
    return 0
}
