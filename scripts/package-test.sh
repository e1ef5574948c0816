#!/usr/bin/env bash
# Builds the Debian packages from build/default and tests them as a user would meet them:
# lintian, the programs run from a temporary root that the packages are unpacked into, the bash
# completion, the manual pages and the installed documentation, every command of docs/usage.md
# and docs/guide.md against a vmsim on 127.0.0.1, and, run as root on a machine where they are not
# installed yet, installing, reinstalling, importing with bytecode written and purging the
# packages, after which no file of theirs may be left.
# Needs a finished build in build/default (scripts/test.sh makes it). Exits non-zero on any
# failure; every process it starts is stopped by its id when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build/default
python=/usr/bin/python3  # Debian's interpreter: the one the package is built for

work=$(mktemp -d)
root=$work/root
failures=0
packages=(vmcontrol python3-vellumotor vellumotor-tango)
installed_here=0
cleanup() {
    if ((installed_here)); then
        apt-get purge -y -o DPkg::Lock::Timeout=600 "${packages[@]}" > /dev/null 2>&1 || true
    fi
    local pids
    pids=$(jobs -p)
    if [[ -n "$pids" ]]; then
        kill $pids 2> /dev/null || true
        wait $pids 2> /dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap "exit 130" INT TERM

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

echo "== packages"
cmake --build "$build" -j2 --target vm_package_files > /dev/null
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB > "$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
debs=("$build"/packages/*.deb)
for name in vmcontrol python3-vellumotor vellumotor-tango; do
    ls "$build"/packages/"${name}"_*.deb > /dev/null 2>&1 || fail "no package $name"
done

echo "== lintian"
# Errors and warnings fail; the informational tags left are listed in docs/install.md.
lintian --allow-root --fail-on error,warning "${debs[@]}" || fail "lintian"

echo "== programs from the unpacked packages"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
bin=$root/usr/bin
pythonpath=$root/usr/lib/python3/dist-packages
[[ "$("$bin/vmcli" /ver)" == "Version: VMCLI.6.0.20190715" ]] || fail "vmcli /ver"
"$bin/vmsim" --help | grep "^usage: vmsim" > /dev/null || fail "vmsim --help"
status=0
"$bin/vmsim" --state "$work/missing/state" 2> "$work/state.err" || status=$?
[[ $status == 2 ]] && grep -q "cannot be written" "$work/state.err" || fail "vmsim --state in a missing directory (exit $status)"
where=$(PYTHONPATH=$pythonpath PYTHONDONTWRITEBYTECODE=1 $python -c "import vellumotor; print(vellumotor.__file__)") ||
    fail "import vellumotor"
[[ "$where" == "$pythonpath/"* ]] || fail "vellumotor imported from $where, not from the package"
PYTHONPATH=$pythonpath PYTHONDONTWRITEBYTECODE=1 $python "$bin/vellumotor-tango" --help > /dev/null ||
    fail "vellumotor-tango --help"

echo "== bash completion"
completion=$root/usr/share/bash-completion/completions/vmcli
# Prints the completions of a command line, from a bash started for the test without profiles.
complete_line() {
    env -i PATH=/usr/bin:/bin bash --norc --noprofile -c '
        source "$1"
        COMP_LINE=$2 COMP_POINT=${#2}
        read -ra COMP_WORDS <<< "$2"
        [[ $2 == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        _vmcli
        printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$1"
}
[[ "$(complete_line "vmcli MO" | sort | tr '\n' ' ')" == "MOV modlist " ]] || fail "vmcli MO does not complete to MOV and modlist"
complete_line "vmcli @S" | grep -x "@SERV" > /dev/null || fail "vmcli @S does not complete to @SERV"
complete_line "vmcli DEVMODE @CMON:x MOV 1 ASPEN1-" | grep -x "ASPEN1-ENC" > /dev/null || fail "stage types after MOV"
[[ -z "$(complete_line "vmcli STS 1 ")" ]] || fail "STS takes no stage type"
[[ "$(complete_line "vmcli OEMC 2 1 PRO" | tr '\n' ' ')" == "PROFILE1 PROFILE2 PROFILE3 " ]] ||
    fail "OEMC does not offer the drive profiles"
complete_line "vmcli OEMC 2 1 " | grep -x "ASPEN1-ENC" > /dev/null || fail "OEMC no longer offers stage types"
[[ -z "$(complete_line "vmcli MOV 1 PRO")" ]] || fail "MOV takes no drive profile"
# The completion's word lists against the program: the dispatch table and the stage list.
words_of() { env -i bash --norc --noprofile -c "source '$completion'; printf '%s\n' \$$1" | sort; }
diff <(words_of _vmcli_commands) \
    <({ grep -o '^    {"[A-Za-z]*",' cli/dispatch.cpp | tr -d ' {",'; printf '%s\n' /USB /type /LAN /ver; } | sort) ||
    fail "the completion's command words differ from cli/dispatch.cpp"
diff <(words_of _vmcli_stages) <("$bin/vmcli" /type | sed -n '/^List of stage types:/,/^$/p' | sed '1d;/^$/d' | sort) ||
    fail "the completion's stage types differ from vmcli /type"
# The manual names every command word.
for word in $(words_of _vmcli_commands); do
    grep -q -- "\`$word" docs/man/vmcli.1.md || fail "docs/man/vmcli.1.md does not describe $word"
done

echo "== manual pages"
for program in "$bin"/*; do
    [[ -e "$root/usr/share/man/man1/$(basename "$program").1.gz" ]] || fail "no manual page for $(basename "$program")"
done
version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
date=$(date -u -d "$(dpkg-parsechangelog -l packaging/changelog -S Date)" +%Y-%m-%d)
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 > /dev/null)
    [[ -z "$warnings" ]] || fail "man warns on $(basename "$page"): $warnings"
    header=$(zcat "$page" | grep -m1 '^\.TH')
    [[ "$header" == *"\"$date\" \"vmcontrol $version\""* ]] || fail "$(basename "$page") header lacks date and version: $header"
    # Every page names the installed documentation, and what it names is in the packages.
    named=$(zcat "$page" | sed 's/\\-/-/g' | grep -o '/usr/share/doc/[A-Za-z0-9._/-]*[A-Za-z0-9]' | sort -u)
    [[ -n "$named" ]] || fail "$(basename "$page") names no installed documentation"
    for doc in $named; do
        [[ -e "$root$doc" ]] || fail "$(basename "$page") names $doc, which no package installs"
    done
done

echo "== installed documentation"
for doc in vmcontrol/guide.md vmcontrol/usage.md vmcontrol/install.md vmcontrol/usb.md \
    vmcontrol/firmware_update.md python3-vellumotor/python.md python3-vellumotor/examples/scan_rack.py \
    vellumotor-tango/tango.md; do
    [[ -s "$root/usr/share/doc/$doc" ]] || fail "no /usr/share/doc/$doc"
done
# Each installed page's pictures are installed with it, in the same package.
for page in vmcontrol/guide.md python3-vellumotor/python.md vellumotor-tango/tango.md; do
    for picture in $(grep -o '](images/[^)]*)' "$root/usr/share/doc/$page" | sed 's/^](//; s/)$//' | sort -u); do
        [[ -s "$root/usr/share/doc/$(dirname "$page")/$picture" ]] || fail "the installed $page lacks $picture"
    done
done

echo "== docs/usage.md and docs/guide.md"
# Every command of the pages' code blocks runs, from the unpacked packages, against vmsim on
# 127.0.0.1. vmsim gets a free port (and discovery on any port) through a wrapper on PATH, so a
# page can say 2048 and the test still never collides with another vmsim on the machine.
port=$($python -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/wrap" && mkdir -m 0700 "$work/pipes"
# In a network namespace of the page's own (VM_NETNS_STEP set) discovery keeps its usual port.
cat > "$work/wrap/vmsim" << EOF
#!/bin/sh
[ -n "\$VM_NETNS_STEP" ] && exec "$bin/vmsim" "\$@" --port $port --ready-file "$work/ready"
exec "$bin/vmsim" "\$@" --port $port --discovery-port 0 --ready-file "$work/ready"
EOF
chmod +x "$work/wrap/vmsim"
wait_ready() {
    for _ in $(seq 100); do
        [[ -s "$work/ready" ]] && return 0
        sleep 0.05
    done
    return 1
}
run_usage() {
    local line=$1 output
    case "$line" in
        "ip "*)
            # Network namespaces the page makes itself: run as root only, never on this machine's
            # own interfaces.
            if ((EUID != 0)); then
                echo "   (skipped, needs root: $line)"
                return
            fi
            echo "   \$ $line"
            if [[ "$line" == *"&" ]]; then
                rm -f "$work/ready"
                export VM_NETNS_STEP=1
                eval "$line"
                unset VM_NETNS_STEP
                wait_ready || fail "$page: '$line' did not start"
                return
            fi
            [[ "$line" == "ip netns add "* ]] && made_netns+=("${line#ip netns add }")
            output=$(eval "timeout 120 $line" < /dev/null 2>&1) || fail "$page: '$line' exited non-zero: $output"
            if [[ "$line" == *"/LAN" ]]; then
                grep -q "^Reply from " <<< "$output" || fail "$page: '$line' found no controller: $output"
            fi
            ;;
        *"/LAN"* | *"--bind"*) fail "$page: '$line' would leave 127.0.0.1" ;;
        "cmake "*) echo "   (skipped, the build that made these packages: $line)" ;;
        "VMControlSystem"*) echo "   (skipped, the desktop program: scripts/screenshots.sh renders its windows: $line)" ;;
        "export PATH="*) echo "   (skipped, the packages are on PATH instead: $line)" ;;
        "bash scripts/fuzz.sh"*) echo "   (skipped, scripts/test.sh runs the fuzz targets: $line)" ;;
        vmsim*"&")
            echo "   \$ $line"
            rm -f "$work/ready"
            eval "$line"
            wait_ready || fail "$page: '$line' did not start"
            ;;
        "vmcli SERV:"*"&" | "vmcli CMON:"*"&")
            echo "   \$ $line"
            local name=${line#vmcli ?????}
            name=${name%% *}
            # A monitor draws its table: into a log, not over this test's output.
            eval "${line%&} > \"$work/server.log\" 2>&1 &"
            for _ in $(seq 100); do
                [[ -S "$VM_PIPE_DIR/${name}SR" ]] && break
                sleep 0.05
            done
            ;;
        "vmcli "* | "ss "* | "python3 "* | "ls "*)
            echo "   \$ $line"
            output=$(eval "timeout 120 $line" < /dev/null 2>&1) || fail "$page: '$line' exited non-zero"
            if grep -q -e "ERROR: DEVICE NOT FOUND" -e "^err " -e "arguments should be" -e "Command line usage" <<< "$output"; then
                fail "$page: '$line' was refused: $output"
            fi
            ;;
        "kill "*)
            echo "   \$ $line"
            eval "$line"
            for _ in $(seq 100); do
                [[ -z "$(jobs -rp)" ]] && break
                sleep 0.05
            done
            if [[ -n "$(jobs -rp)" ]]; then
                fail "$page: '$line' left $(jobs -r)"
                kill -KILL $(jobs -rp) 2> /dev/null || true
            fi
            wait 2> /dev/null || true
            jobs > /dev/null  # forgets the finished jobs, so the next one is %1 again
            ;;
        *) fail "$page: no rule to run '$line' (add one to scripts/package-test.sh)" ;;
    esac
}
(
    export PATH="$work/wrap:$bin:/usr/bin:/bin:/usr/sbin:/sbin" VM_LAN_PORT=$port VM_PIPE_DIR=$work/pipes HOME=$work
    export PYTHONPATH=$pythonpath PYTHONDONTWRITEBYTECODE=1
    unset DISPLAY WAYLAND_DISPLAY
    made_netns=()
    trap 'pids=$(jobs -p); if [[ -n "$pids" ]]; then kill $pids; wait $pids; fi 2> /dev/null || true
          for ns in "${made_netns[@]}"; do ip netns del "$ns" 2> /dev/null || true; done' EXIT
    failures=0
    for page in docs/usage.md docs/guide.md; do
        echo "   $page"
        previous=""
        while IFS= read -r line; do
            # Code lines: indented four spaces, after a blank line or another code line.
            if [[ "$line" == "    "* && ( -z "$previous" || "$previous" == "    "* ) ]]; then
                command=${line#    }
                command=${command%%  #*}
                run_usage "$command"
            fi
            [[ "$line" == "    "* || -z "$line" ]] && previous=$line || previous="text"
        done < "$page"
        [[ -z "$(jobs -rp)" ]] || fail "$page leaves programs running: $(jobs -r)"
    done
    exit "$failures"
) < /dev/null || failures=$((failures + $?))

echo "== install, reinstall, import with bytecode written, purge"
installed=$(dpkg-query -W -f '${db:Status-Status}\n' "${packages[@]}" 2> /dev/null | grep -cx installed || true)
if ((EUID != 0)); then
    echo "   (skipped: needs root)"
elif ((installed > 0)); then
    echo "   (skipped: the packages are installed on this machine already, and the test would purge them)"
else
    apt_get=(apt-get -y -o DPkg::Lock::Timeout=600)
    installed_here=1
    if "${apt_get[@]}" install "${debs[@]}" > "$work/install.log" 2>&1 &&
        "${apt_get[@]}" install --reinstall "${debs[@]}" >> "$work/install.log" 2>&1; then
        [[ "$(/usr/bin/vmcli /ver)" == "Version: VMCLI.6.0.20190715" ]] || fail "installed vmcli /ver"
        # As root, from Debian's path, with bytecode written as a user's first import would.
        (cd / && env -u PYTHONPATH -u PYTHONDONTWRITEBYTECODE $python -c "import vellumotor, vellumotor_tango") ||
            fail "import vellumotor, vellumotor_tango from Debian's path"
        env -u PYTHONDONTWRITEBYTECODE vellumotor-tango --help > /dev/null || fail "installed vellumotor-tango --help"
        ls /usr/lib/python3/dist-packages/vellumotor/__pycache__/*.pyc > /dev/null 2>&1 || fail "no bytecode after the import"
        dpkg -L "${packages[@]}" | sort -u > "$work/files"
        "${apt_get[@]}" purge "${packages[@]}" > "$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "purge"; }
        installed_here=0
        grep "not empty so not removed" "$work/purge.log" && fail "purge left directories"
        while IFS= read -r path; do
            if [[ -d "$path" ]]; then
                dpkg-query -S "$path" > /dev/null 2>&1 || fail "purge left the directory $path"
            elif [[ -e "$path" || -L "$path" ]]; then
                fail "purge left $path"
            fi
        done < "$work/files"
    else
        cat "$work/install.log"
        fail "install"
    fi
fi

if ((failures > 0)); then
    echo "package tests: $failures failure(s)"
    exit 1
fi
echo "package tests: all passed"
