#!/usr/bin/env bash
# Every program of the build on its command line: -h and --help print the usage and exit 0, an
# option it does not know (alone, or before a name) exits 64 with the usage, and no option is
# ever taken for a file or folder: the working folder stays empty.
# Usage: ProgramOptions.sh NAME=PATH...
set -uo pipefail

declare -A program
for pair in "$@"; do
    program[${pair%%=*}]=${pair#*=}
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config XDG_DATA_HOME=$scratch/home/.local/share
export KESTREL_DEMO_DIR=$scratch/home/demo QT_QPA_PLATFORM=offscreen
mkdir -p "$XDG_CONFIG_HOME"

failures=0
passed=0
# One row: program, expected exit code, the stream that must show the usage (out/err/-), arguments.
check() {
    local name=$1 expected=$2 stream=$3
    shift 3
    local work=$scratch/work
    rm -rf "$work" && mkdir -p "$work"
    local status=0
    (cd "$work" && exec timeout 60 "${program[$name]}" "$@" >"$scratch/out" 2>"$scratch/err") || status=$?
    local problem=""
    [[ $status -eq $expected ]] || problem="exit $status, not $expected"
    if [[ -z $problem && $stream != - ]] && ! grep -qi '^usage:' "$scratch/$stream"; then
        problem="no usage on std$stream"
    fi
    local left
    left=$(ls -A "$work")
    [[ -z $problem && -n $left ]] && problem="made: $left"
    if [[ -n $problem ]]; then
        echo "FAIL: $name $*: $problem"
        sed 's/^/    out: /' "$scratch/out" | head -5
        sed 's/^/    err: /' "$scratch/err" | head -5
        failures=$((failures + 1))
    else
        passed=$((passed + 1))
    fi
}

for name in "${!program[@]}"; do
    check "$name" 0 out --help
    check "$name" 0 out -h
    check "$name" 64 err --no-such-option
    check "$name" 64 err -q
    check "$name" 64 err --no-such-option folder
    check "$name" 64 err folder --no-such-option
done

# Rows of their own.
if [[ -n ${program[kestrel-make-demo]:-} ]]; then
    check kestrel-make-demo 64 err
    check kestrel-make-demo 64 err one two
    # A folder whose name begins with a dash is named after "--".
    status=0
    (cd "$scratch" && timeout 60 "${program[kestrel-make-demo]}" -- --help >/dev/null 2>&1) || status=$?
    if [[ $status -eq 0 && -f "$scratch/--help/demo.MGP" ]]; then
        passed=$((passed + 1))
    else
        echo "FAIL: kestrel-make-demo -- --help: exit $status, $(ls -A "$scratch")"
        failures=$((failures + 1))
    fi
fi
if [[ -n ${program[kestrel-host]:-} ]]; then
    check kestrel-host 64 err --library
    check kestrel-host 64 err --library --demo
    check kestrel-host 64 err --demo=yes
    check kestrel-host 64 err stray
    check kestrel-host 0 - --version
fi
if [[ -n ${program[kestrel-tool]:-} ]]; then
    check kestrel-tool 0 out show --help
    check kestrel-tool 64 err show --no-such-option
    check kestrel-tool 64 err check -q folder
fi
if [[ -n ${program[screenshots_editor]:-} ]]; then
    check screenshots_editor 64 err
fi

echo "$passed passed, $failures failed"
[[ $failures -eq 0 ]]
