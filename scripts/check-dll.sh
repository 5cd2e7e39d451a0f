#!/bin/sh
# Checks a built ieTalvenor.DLL without running it: its export table (module
# name, the four entry points as ordinals 1 to 4 under undecorated names), that
# it imports system DLLs only, and that it holds no emulated thread-local
# storage, which takes a TLS slot on every load and never gives it back. Used for the 32-bit product, which this
# machine cannot execute, and for the 64-bit build alike.
# Usage: check-dll.sh OBJDUMP DLL
set -eu
objdump=$1
dll=$2
headers=$("$objdump" -p "$dll")
failed=0

expect() {
    # $1: description; $2: extended regular expression that a line must match.
    if ! printf '%s\n' "$headers" | grep -Eq "$2"; then
        echo "check-dll: $1 not found" >&2
        failed=1
    fi
}

expect "module name ieTalvenor.DLL" '^Name[[:space:]]+[0-9a-f]+ ieTalvenor\.DLL$'
expect "ordinal base 1" '^Ordinal Base[[:space:]]+1$'
ordinal=0
for name in DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer; do
    expect "export $name at ordinal $((ordinal + 1))" "^[[:space:]]+\[[[:space:]]*$ordinal\] $name\$"
    ordinal=$((ordinal + 1))
done
exports=$(printf '%s\n' "$headers" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -Ec '^[[:space:]]+\[' || true)
if [ "$exports" -ne 4 ]; then
    echo "check-dll: $exports named exports, expected 4" >&2
    failed=1
fi

allowed="ADVAPI32.dll KERNEL32.dll msvcrt.dll ole32.dll OLEAUT32.dll USER32.dll"
for imported in $(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
    case " $allowed " in
    *" $imported "*) ;;
    *)
        echo "check-dll: imports $imported, which is not a system DLL of the platform" >&2
        failed=1
        ;;
    esac
done

# The symbol table of the unstripped build names the emulation's variables and
# functions (__emutls_v.NAME, __emutls_get_address).
symbols=$("$objdump" -t "$dll")
emulated=$(printf '%s\n' "$symbols" | grep -o '__emutls_[A-Za-z_.0-9]*' | sort -u || true)
if ! printf '%s\n' "$symbols" | grep -q 'DllMain'; then
    echo "check-dll: $dll has no symbol table to look for emulated thread-local storage in" >&2
    failed=1
elif [ -n "$emulated" ]; then
    echo "check-dll: emulated thread-local storage (thread_local), which leaks a TLS slot per load:" \
        $emulated >&2
    failed=1
fi

[ "$failed" -eq 0 ] && echo "check-dll: $dll: exports, imports and thread-local storage as expected"
exit "$failed"
