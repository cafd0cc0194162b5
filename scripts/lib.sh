# Helpers shared by run-tests and run-demo; sourced, not run.
# shellcheck shell=bash

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo_root" || exit 1

# pip's own cache stays on (it is what makes fresh venvs cheap); only the
# noise goes.
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_PROGRESS_BAR=off

note() { printf '\n==> %s\n' "$*"; }
die() {
    printf 'error: %s\n' "$*" >&2
    exit 1
}

# Fills the array `pythons`, oldest first.
find_pythons() {
    local out
    out=$("$repo_root/scripts/find-pythons") || exit 1
    # shellcheck disable=SC2034 # read by the sourcing script
    mapfile -t pythons <<<"$out"
}

# label_pytest_summary LABEL: a filter that puts "LABEL: " before pytest's
# closing line ("663 passed in 9.81s"), so that every run's counts say which
# interpreter they belong to.
label_pytest_summary() {
    sed -u -E "s|^=* ?((no tests ran\|[0-9]+ [a-z]+(, [0-9]+ [a-z]+)*) in [0-9.]+s( \([0-9:.]+\))?) ?=*\$|$1: \1|"
}

py_version() {
    "$1" -I -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])'
}

fresh_venv() { # PYTHON DIR
    rm -rf "$2"
    "$1" -m venv "$2"
}

# build_wheel PYTHON OUTDIR BUILDDIR [extra pip wheel args]
# Sets WHEEL to the path of the one wheel in OUTDIR.
#
# The build runs without pip's build isolation, in a venv kept between runs:
# the backend discards its CMake build directory whenever it finds itself in
# a new isolated environment, which would recompile everything every time.
# Kept, an unchanged tree rebuilds in seconds. Each kind of build has its own
# build directory so that cached CMake options never leak from one into
# another.
build_wheel() {
    local py=$1 out=$2 build=$3
    shift 3
    local version venv log
    version=$(py_version "$py")
    # A free-threaded interpreter needs a venv of its own ("t"), and so does
    # one built with ThreadSanitizer ("-tsan") beside it.
    venv=.venvs/build-$version$("$py" -I -c '
import sys, sysconfig
tsan = "thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or "")
print(sys.abiflags + ("-tsan" if tsan else ""))')
    if ! "$venv/bin/python" -c '' 2>/dev/null; then
        fresh_venv "$py" "$venv"
    fi
    mkdir -p "$out" build/logs
    log=build/logs/$(basename "$out").log
    : >"$log"

    # What pip would put in an isolated environment: the declared backend,
    # then whatever it asks for on this machine (a CMake or Ninja from PyPI
    # when the system has none recent enough).
    local out_text requires
    out_text=$("$venv/bin/python" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))') ||
        die "cannot read build-system.requires from pyproject.toml"
    mapfile -t requires <<<"$out_text"
    "$venv/bin/python" -m pip install -qq "${requires[@]}" >>"$log" 2>&1 ||
        { cat "$log"; die "could not install the build backend"; }
    out_text=$("$venv/bin/python" -c '
import scikit_build_core.build as backend
print("\n".join(backend.get_requires_for_build_wheel()))') ||
        die "the build backend could not say what it needs"
    if [[ -n "$out_text" ]]; then
        mapfile -t requires <<<"$out_text"
        "$venv/bin/python" -m pip install -qq "${requires[@]}" >>"$log" 2>&1 ||
            { cat "$log"; die "could not install: ${requires[*]}"; }
    fi

    rm -f "$out"/tarvella-*.whl
    echo "building with CPython $version into $out/ (log: $log)"
    if ! "$venv/bin/python" -m pip wheel . --no-deps --no-build-isolation -v -w "$out" \
        -C build-dir="$build" "$@" >>"$log" 2>&1; then
        cat "$log"
        die "wheel build failed"
    fi
    # Compiler warnings would otherwise sit unseen in the log.
    grep -E ': (warning|note):' "$log" || true

    local wheels=("$out"/tarvella-*.whl)
    if ((${#wheels[@]} != 1)) || [[ ! -f "${wheels[0]}" ]]; then
        die "expected exactly one wheel in $out/, found: ${wheels[*]}"
    fi
    WHEEL=${wheels[0]}
    # A free-threaded interpreter cannot load abi3 modules: its wheel is made
    # for its own version and ABI ("cp313-cp313t").
    local tag
    tag=$("$py" -I -c '
import sys, sysconfig
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    print("cp{0}{1}-cp{0}{1}t".format(*sys.version_info[:2]))
else:
    print("cp312-abi3")') || die "$py cannot say which wheel tag it needs"
    [[ "$(basename "$WHEEL")" == tarvella-0.1.0-"$tag"-*.whl ]] ||
        die "$WHEEL is not tagged $tag"
    echo "built $WHEEL"
}

# --- The Debian root -------------------------------------------------------------
# CPython builds this system does not have (newer versions, debug builds) come
# from Debian unstable, installed by scripts/provision-root into a root of
# their own: installed here they would replace the system's C library. The
# root is a per-machine cache outside the repository, shared by every clone.

# The interpreters the root must provide, and the packages that bring them.
root_interpreters=(python3.13 python3.14 python3.15 python3.14d python3.15d)
root_packages=(python3.13 python3.13-venv python3.14 python3.14-venv python3.14-dbg
    python3.15 python3.15-venv python3.15-dbg)

debian_root() {
    if [[ -n ${TARVELLA_DEBIAN_ROOT:-} ]]; then
        echo "$TARVELLA_DEBIAN_ROOT"
    elif ((EUID == 0)); then
        echo /var/cache/tarvella/debian-sid
    else
        echo "${XDG_CACHE_HOME:-$HOME/.cache}/tarvella/debian-sid"
    fi
}

# Written last by scripts/provision-root: a root without it is half made.
root_stamp() { echo "$1/.tarvella-root"; }

# What a complete root's stamp says; a change of package list makes the
# stamp stale and the root is provisioned again.
root_stamp_text() { echo "packages: ${root_packages[*]}"; }

root_ready() { # ROOT
    [[ -f "$(root_stamp "$1")" && "$(cat "$(root_stamp "$1")")" == "$(root_stamp_text)" ]]
}

# root_command ARRAY ROOT sets ARRAY so that "${ARRAY[@]}" COMMAND... runs
# COMMAND inside ROOT, in the repository, which is bind-mounted at the same
# path so that every path means the same inside and out: venvs made inside a
# root live in .venvs/ like the others. The mounts are made in a mount
# namespace of the command's own and vanish with it however it ends, so a
# killed run leaves nothing mounted in the cache. The environment is reset:
# nothing of this system's configuration leaks into the root. Exits 125 when
# the mounts cannot be made. An array rather than a function, so that
# `timeout` can run it.
root_command() {
    local -n command_=$1
    # shellcheck disable=SC2016 # expanded by the inner shell
    command_=(unshare --mount --propagation private -- /bin/sh -c '
    root=$1 repo=$2
    shift 2
    mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" &&
        mkdir -p "$root$repo" && mount --bind "$repo" "$root$repo" || exit 125
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
        PATH=/usr/local/bin:/usr/bin:/bin CI="${CI:-}" \
        PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PIP_PROGRESS_BAR=off \
        /usr/bin/env -C "$repo" "$@"
' sh "$2" "$repo_root")
}

# "${in_root[@]}" COMMAND... runs COMMAND inside the Debian root.
root_command in_root "$(debian_root)"

# place WHERE: sets the array `place` to what runs a command on this system
# (host) or in the Debian root (root).
# shellcheck disable=SC2034 # read by the sourcing script
place() {
    place=()
    [[ $1 == root ]] && place=("${in_root[@]}")
    return 0
}

# find_root_pythons: fills the array `root_pythons` with the root's
# interpreters, or leaves it empty and says why in `root_skip`.
# shellcheck disable=SC2034 # read by the sourcing script
find_root_pythons() {
    local out
    root_pythons=()
    root_skip=
    if ((EUID != 0)); then
        root_skip="entering the Debian root needs root (chroot)"
    elif ! root_ready "$(debian_root)"; then
        root_skip="no Debian root in $(debian_root) (\`make root\` makes one; it needs root and the network)"
    elif ! "${in_root[@]}" true; then
        root_skip="cannot mount /proc, /dev and the repository inside the Debian root here"
    else
        out=$("$repo_root/scripts/find-pythons" --root)
        [[ -n $out ]] && mapfile -t root_pythons <<<"$out"
    fi
    return 0
}

# fill_wheelhouse MINOR PIP-PYTHON PIP-DOWNLOAD-ARGS...
# Downloads into build/wheelhouse, with PIP-PYTHON's pip and this system's
# configuration, the wheels that a root interpreter of version MINOR needs:
# the root has no configuration for reaching a package index.
fill_wheelhouse() {
    local minor=$1 pip_python=$2
    shift 2
    "$pip_python" -m pip download -qq --only-binary=:all: --python-version "$minor" \
        -d build/wheelhouse "$@"
}

# --- Making roots ------------------------------------------------------------------
# Shared by scripts/provision-root and scripts/provision-arm64-root.

# need_host_packages COMMAND:PACKAGE...: installs with apt-get each PACKAGE
# whose COMMAND is not on this system.
need_host_packages() {
    local pair missing=()
    for pair in "$@"; do
        command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
    done
    ((${#missing[@]} > 0)) || return 0
    note "installing ${missing[*]}"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } ||
        die "${missing[*]} not installed and could not be installed"
}

# The first Debian archive this system's apt reads for its own release:
# that is the main archive, not the security or backports one.
find_mirror() {
    local codename
    codename=$(. /etc/os-release && [[ ${ID:-} == debian ]] && echo "${VERSION_CODENAME:-}") || true
    [[ -n $codename ]] || return 0
    # deb822 sources: paragraphs of "Field: value" lines.
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
        awk -v codename="$codename" '
            function flush() {
                if (!done && types ~ /(^| )deb( |$)/ && enabled != "no" &&
                    (" " suites " ") ~ (" " codename " ")) {
                    split(uris, u, " ")
                    print u[1]
                    done = 1
                }
                types = uris = suites = enabled = ""
            }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]*#/ { next }
            { field = tolower($1); $1 = ""; sub(/^ +/, "") }
            field == "types:" { types = $0 }
            field == "uris:" { uris = $0 }
            field == "suites:" { suites = $0 }
            field == "enabled:" { enabled = tolower($0) }
            END { flush() }'
    # One-line sources: "deb [options] URI suite components...".
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk -v codename="$codename" '
            $1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                if ($(i + 1) == codename) { print $i; exit }
            }'
    return 0
}

# debian_mirror: TARVELLA_DEBIAN_MIRROR, or the archive of find_mirror.
debian_mirror() {
    local mirror=${TARVELLA_DEBIAN_MIRROR:-$(set +o pipefail; find_mirror | head -n 1)}
    [[ -n $mirror ]] ||
        die "no Debian archive in this system's apt sources; set TARVELLA_DEBIAN_MIRROR"
    echo "$mirror"
}

# Removing a tree must never walk into a file system mounted inside it (a
# live /proc or /dev). The provisioning scripts and in_root only mount in
# namespaces of their own, but a root may have been used by hand.
mounted_under() { findmnt -rno TARGET | awk -v top="$1/" 'index($0 "/", top) == 1' | grep -q .; }
remove_tree() {
    [[ -e $1 ]] || return 0
    ! mounted_under "$1" || die "$1 has file systems mounted inside it; unmount them first"
    rm -rf --one-file-system "$1"
}

# --- The arm64 root ----------------------------------------------------------------
# A Debian arm64 system run under qemu's user-mode emulation, made by
# scripts/provision-arm64-root: the suite runs there against a wheel
# cross-built for aarch64, and the cross-build takes the target's headers
# from it. Also a per-machine cache outside the repository.
arm64_suite=trixie
arm64_packages=(python3 python3-venv python3-dev)

arm64_root() {
    if [[ -n ${TARVELLA_ARM64_ROOT:-} ]]; then
        echo "$TARVELLA_ARM64_ROOT"
    elif ((EUID == 0)); then
        echo /var/cache/tarvella/debian-$arm64_suite-arm64
    else
        echo "${XDG_CACHE_HOME:-$HOME/.cache}/tarvella/debian-$arm64_suite-arm64"
    fi
}

arm64_stamp_text() { echo "arm64 $arm64_suite packages: ${arm64_packages[*]}"; }

arm64_root_ready() { # ROOT
    [[ -f "$(root_stamp "$1")" && "$(cat "$(root_stamp "$1")")" == "$(arm64_stamp_text)" ]]
}

root_command in_arm64_root "$(arm64_root)"

# The kernel hands aarch64 programs to qemu through binfmt_misc. The
# registration must have the F flag: the kernel then opens the emulator when
# it is registered, and finds it from inside any root, with no copy of it
# there. Debian's qemu-user-static registers it so through binfmt-support.
# Idempotent; fails when this system cannot run aarch64 programs.
aarch64_binfmt() {
    local dir=/proc/sys/fs/binfmt_misc entry
    need_host_packages qemu-aarch64-static:qemu-user-static update-binfmts:binfmt-support
    if [[ ! -e $dir/register ]]; then
        mount -t binfmt_misc binfmt_misc "$dir" || die "cannot mount binfmt_misc on $dir"
    fi
    [[ $(cat "$dir/status") == enabled ]] || echo 1 >"$dir/status"
    entry=$dir/qemu-aarch64
    if [[ ! -e $entry ]]; then
        update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 ||
            { update-binfmts --import qemu-aarch64 && update-binfmts --enable qemu-aarch64; } ||
            die "cannot register qemu-aarch64 with binfmt_misc"
    fi
    grep -qx enabled "$entry" || echo 1 >"$entry"
    grep -q '^flags:.*F' "$entry" ||
        die "qemu-aarch64 is registered with binfmt_misc without the F flag ($(grep '^flags:' "$entry")); re-register it with F"
}

# --- Sources and packages from the Debian archive ------------------------------------
# Read with apt under a configuration of their own: apt checks the indices
# against the archive's signed release files, and this system's package
# lists stay as they are.

# private_apt DIR < SOURCES-LINES: reads the indices the lines name, with
# lists and cache under DIR, and sets the array `apt_options` that makes
# apt-get and apt-cache use them.
private_apt() {
    local dir=$1
    rm -rf "$dir"
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    cat >"$dir/sources.list"
    apt_options=(-o "Dir::Etc::SourceList=$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache")
    apt-get "${apt_options[@]}" -qq update >&2
}

# upstream_source PACKAGE-REGEX WORK: finds, in the source indices of
# stable, unstable and experimental, the newest release of the source
# packages whose names match PACKAGE-REGEX (pre-releases passed over, and so
# are tarballs the archive lists but the mirror does not have), fetches its
# upstream (orig) tarball from the archive into WORK unless it is there
# already, checks it against the archive's index, and sets `source_tarball`
# and `source_version`. The tarball is kept: a later build starts from it.
upstream_source() {
    local regex=$1 work=$2 mirror keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    mirror=$(debian_mirror)
    mkdir -p "$work"
    # Two provisioning scripts may look at once (both run in the background
    # under CI): one at a time, and the second finds the tarball fetched.
    local lock
    exec {lock}>"$work/.lock"
    flock "$lock"
    note "reading the source indices of $mirror (stable, unstable, experimental)" >&2
    private_apt "$work/apt" < <(for suite in stable sid experimental; do
        echo "deb-src [signed-by=$keyring] $mirror $suite main"
    done) || die "apt could not read the source indices from $mirror"

    # Fields per matching source package: upstream version, pool directory,
    # orig tarball's SHA-256 and name; newest first. apt may keep the lists
    # compressed; apt-helper reads them either way.
    local source_lists candidates
    source_lists=$(apt-get "${apt_options[@]}" indextargets --format '$(FILENAME)' 'Created-By: Sources')
    [[ -n $source_lists ]] || die "apt could not read the source indices from $mirror"
    candidates=$(
        for list in $source_lists; do
            /usr/lib/apt/apt-helper cat-file "$list" | awk -v regex="$regex" '
                function flush() {
                    if (package ~ regex && version != "" && orig != "") {
                        sub(/^[0-9]+:/, "", version)
                        sub(/-[^-]*$/, "", version)
                        if (version !~ /~/)
                            print version "\t" directory "\t" orig
                    }
                    package = version = directory = orig = ""
                    in_sha = 0
                }
                /^$/ { flush(); next }
                /^[^ ]/ { in_sha = 0 }
                /^Package:/ { package = $2 }
                /^Version:/ { version = $2 }
                /^Directory:/ { directory = $2 }
                /^Checksums-Sha256:/ { in_sha = 1; next }
                in_sha && $3 ~ /\.orig\.tar\.(xz|gz|bz2)$/ { orig = $1 "\t" $3 }
                END { flush() }'
        done | sort -u | sort -t $'\t' -k1,1Vr)
    [[ -n $candidates ]] || die "found no source package matching $regex in $mirror's indices"

    local version directory sha256 tarball
    source_tarball=
    while IFS=$'\t' read -r version directory sha256 tarball; do
        if echo "$sha256  $work/$tarball" | sha256sum --quiet -c - >/dev/null 2>&1; then
            source_tarball=$work/$tarball
            break
        fi
        if curl -fsL --retry 3 -o "$work/$tarball.part" "$mirror/$directory/$tarball"; then
            echo "$sha256  $work/$tarball.part" | sha256sum --quiet -c - >&2 ||
                die "$tarball does not match the archive's index"
            mv "$work/$tarball.part" "$work/$tarball"
            source_tarball=$work/$tarball
            break
        fi
        rm -f "$work/$tarball.part"
        note "passing over $version: $mirror does not serve $tarball" >&2
    done <<<"$candidates"
    [[ -n $source_tarball ]] || die "$mirror serves none of the $regex source tarballs its indices list"
    # shellcheck disable=SC2034 # read by the caller
    source_version=$version
    rm -rf "$work/apt"
    exec {lock}>&-
}

# The CPython source that scripts/provision-ft-python and
# scripts/provision-musl-python build from, and scripts/check-cross reads.
cpython_source() { upstream_source '^python3\.[0-9]+$' "$(dirname "$(debian_root)")/cpython-src"; }
