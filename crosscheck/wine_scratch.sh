# shellcheck shell=bash
# Sourced by the scripts that run the Windows build under Wine, with their files in a scratch
# folder: set scratch to that folder first, then call start_wine, and stop_wine before the folder
# is removed. The prefix is the scratch folder's own unless WINEPREFIX names one.
export WINEPREFIX=${WINEPREFIX:-$scratch/wine} WINEDEBUG=-all

# Making a fresh prefix now and then fails inside Wine ("could not load kernel32.dll", seen once
# in some dozen CI runs): tried up to three times, a scratch prefix emptied before each retry.
start_wine() {
    for attempt in 1 2 3; do
        # One server for the whole run: left to start its own, Wine ends it as soon as a program
        # ends, and starting it again for the next one costs a second each time.
        mkdir -p "$WINEPREFIX"
        wineserver -p 2> /dev/null || true
        wine wineboot -i > "$scratch/wineboot.log" 2>&1 && break
        [ "$attempt" -lt 3 ] || { cat "$scratch/wineboot.log"; exit 1; }
        wineserver -k 2> /dev/null || true
        [ "$WINEPREFIX" != "$scratch/wine" ] || rm -rf "$WINEPREFIX"
    done
    scratch_on_windows=$(ask_winepath "$scratch")
}

# Wine's server outlives the last program by some seconds and then writes the prefix's registry:
# removing the scratch prefix meanwhile failed ("Directory not empty") and, through set -e, failed
# a run that had found nothing. So the scratch prefix's server is stopped and waited for.
stop_wine() {
    [ "$WINEPREFIX" = "$scratch/wine" ] || return 0
    wineserver -k 2> /dev/null || true
    wineserver -w 2> /dev/null || true
}

# Wine's winepath now and then answers nothing, and a cross-check that asked it for every folder
# and file (some two hundred questions) once saw quillet.exe fail to open its output twice in a
# row, for one folder only: the path it was given is the likely cause. So winepath is asked once,
# for the scratch folder, and only a drive's path is taken. A path that stays unknown ends the
# run, since an empty argument would name the current drive's root.
ask_winepath() {
    local answer
    for attempt in 1 2 3; do
        answer=$(wine winepath -w "$1" 2> /dev/null | tr -d '\r')
        if [[ $answer =~ ^[A-Za-z]:\\ ]]; then
            printf '%s\n' "$answer"
            return
        fi
    done
    echo "winepath cannot map $1 (it answered '$answer')" >&2
    exit 1
}

# The Windows path of a file or folder in the scratch folder: the scratch folder's, with the rest
# of the path in backslashes.
windows_path() {
    case "$1" in
        "$scratch"/*) ;;
        *) echo "not in the scratch folder: $1" >&2; exit 1 ;;
    esac
    local below=${1#"$scratch"}
    printf '%s%s\n' "$scratch_on_windows" "${below//\//\\}"
}
