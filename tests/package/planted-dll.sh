#!/usr/bin/env bash
# A DLL planted beside the Windows program (the Downloads-folder attack) never runs in it: for
# every DLL name the program imports or loads that is not a known DLL, a DLL of that name that
# leaves a mark file when loaded is put beside kalvo-updater.exe, wine is told to prefer such
# DLLs (the program's folder first, as Windows searches for non-known DLLs), and the window, a
# --simulate update and the console twin are run. Also: the .exe is a window program.
#   planted-dll.sh BUILD_DIR        (wine prefix as scripts/wine-run.sh; needs xvfb-run)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bin=$(cd "$1/bin" && pwd)
triple=x86_64-w64-mingw32
work=$(mktemp -d "${TMPDIR:-/tmp}/kalvo-planted-XXXXXX")
trap 'rm -rf "$work"' EXIT
app=$work/Downloads
mkdir -p "$app"
cp "$bin/kalvo-updater.exe" "$app/"
[ -f "$bin/kalvo-updater.com" ] && cp "$bin/kalvo-updater.com" "$app/"
fail=0

subsystem=$($triple-objdump -p "$app/kalvo-updater.exe" | awk '/^Subsystem/ {print $2}')
if [ "$subsystem" != 00000002 ]; then
    echo "FAILED: kalvo-updater.exe is not a window program (subsystem $subsystem): a console window flashes up"
    fail=1
fi

# Load-time imports, and the DLL names in the program (delay-loaded, or loaded by name).
known=" kernel32 user32 gdi32 advapi32 shell32 shlwapi msvcrt ole32 oleaut32 comdlg32 imm32 rpcrt4 sechost ws2_32 ntdll "
names=$( ($triple-objdump -p "$app/kalvo-updater.exe" | sed -n 's/^\tDLL Name: //p'
          strings -a "$app/kalvo-updater.exe" | grep -ioE '^[a-z0-9_]+\.dll$') |
        tr 'A-Z' 'a-z' | sed 's/\.dll$//' | sort -u)
planted=()
for n in $names; do
    case "$known" in *" $n "*) continue ;; esac
    planted+=("$n")
done
[ ${#planted[@]} -gt 0 ] || { echo "FAILED: no DLL name found to plant"; exit 1; }
echo "planted beside the program: ${planted[*]}"

cat >"$work/planted.c" <<'C'
#include <windows.h>
/* Leaves planted-<name>.mark beside itself when a process loads it. */
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
for n in "${planted[@]}"; do
    # Every name the program imports from it, so that the loader would bind it.
    { echo "EXPORTS"
      $triple-objdump -p "$app/kalvo-updater.exe" | awk -v dll="$n" '
          /^\tDLL Name: / { name = tolower($3); sub(/\.dll$/, "", name); on = (name == dll); next }
          on && NF == 0 { on = 0 }
          on && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print "    " $3 "=PlantedStub" }' | sort -u
    } >"$work/$n.def"
    $triple-gcc -shared -O2 -o "$app/planted-$n.dll" "$work/planted.c" "$work/$n.def"
    mv "$app/planted-$n.dll" "$app/$n.dll"
done

overrides="mscoree,mshtml=;$(IFS=,; echo "${planted[*]}")=n,b"
winapp="Z:${app//\//\\}"
run() {  # seconds, program, arguments...
    local secs=$1
    shift
    (cd "$app" && WINEDLLOVERRIDES=$overrides KALVO_WINE_TIMEOUT=$secs \
        "$root/scripts/wine-run.sh" "$@") >>"$work/runs.log" 2>&1 || echo "exit code $?" >>"$work/runs.log"
}
prefix=${KALVO_WINEPREFIX:-${TMPDIR:-/tmp}/kalvo-wine-$(id -u)}
# The window needs the virtual display from the first window of a wineserver on.
WINEPREFIX=$prefix timeout 30 wineserver -k || true
xvfb-run -a -s "-screen 0 1024x768x24" bash -c "$(declare -f run); app='$app' overrides='$overrides' \
    root='$root' work='$work'; run 8 '$winapp\\kalvo-updater.exe' --simulate"
WINEPREFIX=$prefix timeout 30 wineserver -k || true
run 120 "$winapp\\kalvo-updater.exe" --simulate --headless
[ -f "$app/kalvo-updater.com" ] && run 30 "$winapp\\kalvo-updater.com" --version
grep -q "every payload received intact" "$work/runs.log" ||
    { echo "FAILED: the --simulate update did not complete"; fail=1; }

for n in "${planted[@]}"; do
    # The loader may name the file as the import does (WINMM.mark).
    if [ -n "$(find "$app" -maxdepth 1 -iname "$n.mark")" ]; then
        echo "FAILED: the planted $n.dll ran inside the updater"
        fail=1
    fi
done
if [ "$fail" != 0 ]; then
    tail -n 20 "$work/runs.log"
    exit 1
fi
echo "planted DLLs: none ran (window, --simulate update, console twin)"
