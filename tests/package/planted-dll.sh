#!/usr/bin/env bash
# A DLL planted beside a Windows download (the Downloads-folder attack) never runs in it: for each
# DLL name the program imports or loads that is not a known DLL, a DLL that leaves a mark file
# when loaded is put beside kalvo-updater.exe, wine is told to prefer such DLLs (the program's
# folder first, as Windows searches for non-known DLLs), and the window, a --simulate update and
# the console twin are run; with an installer given, the same beside it for a silent install.
# Also: the .exe is a window program, without a console window of its own.
#   planted-dll.sh BUILD_DIR [SETUP_EXE]   (wine prefix as scripts/wine-run.sh; needs xvfb-run)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bin=$(cd "$1/bin" && pwd)
setup=${2:-}
triple=x86_64-w64-mingw32
work=$(mktemp -d "${TMPDIR:-/tmp}/kalvo-planted-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=${KALVO_WINEPREFIX:-${TMPDIR:-/tmp}/kalvo-wine-$(id -u)}
fail=0

subsystem=$($triple-objdump -p "$bin/kalvo-updater.exe" | awk '/^Subsystem/ {print $2}')
if [ "$subsystem" != 00000002 ]; then
    echo "FAILED: kalvo-updater.exe is not a window program (subsystem $subsystem): a console window flashes up"
    fail=1
fi

cat >"$work/planted.c" <<'C'
#include <windows.h>
/* Leaves <name>.mark beside itself when a process loads it. */
BOOL WINAPI DllMain(HINSTANCE self, DWORD why, LPVOID reserved) {
    (void)reserved;
    if (why == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH + 16];
        DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
        wchar_t* dot = wcsrchr(path, L'.');
        if (n > 0 && dot != NULL) {
            lstrcpyW(dot, L".mark");
            HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
        }
    }
    return TRUE;
}
int PlantedStub(void) { return 0; }
C

known=" kernel32 user32 gdi32 advapi32 shell32 shlwapi msvcrt ole32 oleaut32 comdlg32 imm32 rpcrt4 sechost ws2_32 ntdll "
# Only the names the download itself imports or loads: wine's own builtin DLLs import others
# (user32 version.dll, comctl32 uxtheme.dll, shell32 propsys.dll) that Windows' do not, and
# would load those beside any program before its code runs.
# plant DIR PROGRAM: a DLL of every such name of PROGRAM in DIR; prints the names.
plant() {
    local dir=$1 exe=$2 n names
    names=$( ($triple-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p'
              strings -a "$exe" | grep -ioE '^[a-z0-9_]+\.dll$') |
            tr 'A-Z' 'a-z' | sed 's/\.dll$//' | sort -u)
    for n in $names; do
        case "$known" in *" $n "*) continue ;; esac
        # Every name the program imports from it, so that the loader would bind it.
        { echo "EXPORTS"
          $triple-objdump -p "$exe" | awk -v dll="$n" '
              /^\tDLL Name: / { name = tolower($3); sub(/\.dll$/, "", name); on = (name == dll); next }
              on && NF == 0 { on = 0 }
              on && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print "    " $3 "=PlantedStub" }' | sort -u
        } >"$work/$n.def"
        $triple-gcc -shared -O2 -o "$dir/$n.dll" "$work/planted.c" "$work/$n.def"
        echo "$n"
    done
}
# run [xvfb-run ARGS... --] DIR SECONDS PROGRAM ARGS...: under wine, the planted DLLs preferred.
run() {
    local display=()
    if [ "$1" = xvfb-run ]; then
        while [ "$1" != -- ]; do display+=("$1"); shift; done
        shift
    fi
    local dir=$1 secs=$2
    shift 2
    local names
    names=$(cd "$dir" && ls -- *.dll | sed 's/\.dll$//' | paste -sd, -)
    (cd "$dir" && "${display[@]}" env WINEDLLOVERRIDES="mscoree,mshtml=;$names=n,b" \
        KALVO_WINE_TIMEOUT="$secs" "$root/scripts/wine-run.sh" "$@") >>"$work/runs.log" 2>&1 ||
        echo "exit code $?" >>"$work/runs.log"
}
marks() {  # DIR: the planted DLLs that ran (the loader may name the file as the import: WINMM)
    find "$1" -maxdepth 1 -iname '*.mark' -printf '%f\n' | sed 's/\.mark$//I' | tr 'A-Z' 'a-z'
}

app=$work/Downloads
mkdir -p "$app"
cp "$bin/kalvo-updater.exe" "$app/"
[ -f "$bin/kalvo-updater.com" ] && cp "$bin/kalvo-updater.com" "$app/"
echo "planted beside the program:" $(plant "$app" "$app/kalvo-updater.exe")
winapp="Z:${app//\//\\}"
# The window needs the virtual display from the first window of a wineserver on.
WINEPREFIX=$prefix timeout 30 wineserver -k || true
run xvfb-run -a -s "-screen 0 1024x768x24" -- "$app" 8 "$winapp\\kalvo-updater.exe" --simulate
WINEPREFIX=$prefix timeout 30 wineserver -k || true
run "$app" 120 "$winapp\\kalvo-updater.exe" --simulate --headless
[ -f "$app/kalvo-updater.com" ] && run "$app" 30 "$winapp\\kalvo-updater.com" --version
grep -q "every payload received intact" "$work/runs.log" ||
    { echo "FAILED: the --simulate update did not complete"; fail=1; }
for n in $(marks "$app"); do
    echo "FAILED: the planted $n.dll ran inside the updater"
    fail=1
done

if [ -n "$setup" ]; then
    inst=$work/Installer
    mkdir -p "$inst"
    cp "$setup" "$inst/setup.exe"
    echo "planted beside the installer:" $(plant "$inst" "$inst/setup.exe")
    target='C:\kalvo-planted-test'
    run "$inst" 60 "Z:${inst//\//\\}\\setup.exe" /S "/D=$target"
    [ -f "$prefix/drive_c/kalvo-planted-test/kalvo-updater.exe" ] ||
        { echo "FAILED: the installer installed nothing"; fail=1; }
    [ -f "$prefix/drive_c/kalvo-planted-test/uninstall.exe" ] &&
        run "$inst" 60 'C:\kalvo-planted-test\uninstall.exe' /S
    for n in $(marks "$inst"); do
        echo "FAILED: the planted $n.dll ran inside the installer"
        fail=1
    done
fi
if [ "$fail" != 0 ]; then
    tail -n 20 "$work/runs.log"
    exit 1
fi
echo "planted DLLs: none ran (window, --simulate update, console twin${setup:+, installer})"
