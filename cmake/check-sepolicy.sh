#!/usr/bin/env bash
# Compiles tarnd's SELinux policy (sepolicy/) with Debian's checkpolicy, the way a device build
# does with m4 and checkpolicy, but against sepolicy/check/ in place of the platform policy: the
# macros tarnd.te uses and declarations of what it names. Then checks that file_contexts and
# service_contexts label with types the policy declares, and last that the check itself still
# bites: misspelt copies of the files must fail.
#
# usage: cmake/check-sepolicy.sh      (needs m4 and checkpolicy)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
policy=$root/sepolicy
check=$policy/check
# The binary policy version of API level 23.
version=30

for tool in m4 checkpolicy; do
    command -v "$tool" >/dev/null || { echo "no $tool: apt-get install $tool"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# compile TE LOG: expands and compiles the rules of TE with the check's platform part. -s keeps
# the source lines, so that checkpolicy's errors name tarnd.te and its line.
compile() {
    m4 -E -s "$check/te_macros.m4" "$check/platform_decls.te" "$1" "$check/platform_tail.te" \
        >"$work/policy.conf" 2>"$2" &&
        checkpolicy -M -c "$version" -o /dev/null "$work/policy.conf" >>"$2" 2>&1
}

# declared_types CONF: "type attribute..." for every type the expanded policy declares.
declared_types() {
    sed 's/#.*//' "$1" | tr '\n' ' ' | tr ';' '\n' | awk '
        $1 == "type" || $1 == "typeattribute" {
            gsub(/,/, " ")
            for (i = 3; i <= NF; i++) attrs[$2] = attrs[$2] " " $i
            if ($1 == "type") declared[$2] = 1
        }
        END { for (t in declared) print t attrs[t] " " }'
}

# check_contexts FILE ATTRIBUTE TYPES: each line of FILE labels with u:object_r:TYPE:s0, TYPE
# being declared in TYPES with ATTRIBUTE. Says what is wrong and fails otherwise.
check_contexts() {
    local file=$1 attribute=$2 types=$3 bad=0 context type
    while read -r context; do
        if [[ ! $context =~ ^u:object_r:([A-Za-z0-9_]+):s0$ ]]; then
            echo "$(basename "$file"): not a context of this policy: $context"
            bad=1
            continue
        fi
        type=${BASH_REMATCH[1]}
        if ! grep -q "^$type " <<<"$types"; then
            echo "$(basename "$file"): $type is not a type the policy declares"
            bad=1
        elif ! grep -qE "^$type( .*)? $attribute " <<<"$types"; then
            echo "$(basename "$file"): $type is not a $attribute"
            bad=1
        fi
    done < <(sed 's/#.*//' "$file" | awk 'NF { print $NF }')
    return $bad
}

# The device build concatenates these files: each must end its last line.
for f in tarnd.te file_contexts service_contexts; do
    [ -z "$(tail -c 1 "$policy/$f")" ] || { echo "sepolicy/$f: no newline at the end"; exit 1; }
done

echo "compiling sepolicy/tarnd.te (checkpolicy -M -c $version)"
if ! compile "$policy/tarnd.te" "$work/log"; then
    cat "$work/log"
    echo "sepolicy/tarnd.te does not compile"
    exit 1
fi
types=$(declared_types "$work/policy.conf")

echo "checking the types of file_contexts and service_contexts"
if ! check_contexts "$policy/file_contexts" file_type "$types" ||
    ! check_contexts "$policy/service_contexts" service_manager_type "$types"; then
    echo "the contexts files label with types that are not the policy's own"
    exit 1
fi

# Each copy of tarnd.te with one fault must fail, naming the fault.
must_fail() {
    local what=$1 edit=$2 expect=$3
    sed -e "$edit" "$policy/tarnd.te" >"$work/bad.te"
    if cmp -s "$policy/tarnd.te" "$work/bad.te"; then
        echo "the test \"$what\" changes nothing in tarnd.te: update it"
        exit 1
    fi
    if compile "$work/bad.te" "$work/bad.log"; then
        echo "checkpolicy accepted tarnd.te with $what: the check proves nothing"
        exit 1
    fi
    if ! grep -qF -- "$expect" "$work/bad.log"; then
        cat "$work/bad.log"
        echo "tarnd.te with $what failed, but not for \"$expect\""
        exit 1
    fi
    echo "  refused as it must be: $what"
}
echo "checking that faults are refused"
must_fail "a misspelt type" 's/kmsg_device:/kmsg_devcie:/' "unknown type kmsg_devcie"
must_fail "a misspelt permission" 's/{ create bind read setopt }/{ create bind read setopy }/' \
    "permission setopy is not defined"
must_fail "a misspelt class" 's/self:capability2 /self:capabilty2 /' "unknown class capabilty2"
must_fail "a misspelt macro" 's/^read_logd(/read_logs(/' "syntax error"
# shellcheck disable=SC2016 # sed's $, the last line
must_fail "another domain adding the service" '$a allow init tarnd_service:service_manager add;' \
    "neverallow"

sed 's/tarnd_data_file/tarnd_dta_file/' "$policy/file_contexts" >"$work/file_contexts"
sed 's/tarnd_service/tarnd_data_file/' "$policy/service_contexts" >"$work/service_contexts"
if cmp -s "$policy/file_contexts" "$work/file_contexts" ||
    cmp -s "$policy/service_contexts" "$work/service_contexts"; then
    echo "the faults for the contexts check change nothing: update them"
    exit 1
fi
if check_contexts "$work/file_contexts" file_type "$types" >/dev/null ||
    check_contexts "$work/service_contexts" service_manager_type "$types" >/dev/null; then
    echo "the contexts check accepted an undeclared type or a file type for a service"
    exit 1
fi
echo "  refused as it must be: contexts with an undeclared type, a service with a file type"

echo "sepolicy: compiles, labels only with its own types, and the check refuses faults"
