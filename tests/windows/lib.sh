# Sourced by the windows tier. What a script needs but this machine lacks (a cross build not made,
# a tool not installed) skips the script with ctest's skip code instead of failing it.

skip() {
    echo "SKIP: $*"
    exit 77
}

# Every named file, or a skip naming the first one missing.
require_files() {
    local file
    for file in "$@"; do
        [ -f "$file" ] || skip "$file is missing (build the mingw presets first)"
    done
}

# Every named command, or a skip naming the first one missing.
require_commands() {
    local command
    for command in "$@"; do
        command -v "$command" >/dev/null 2>&1 || skip "$command is not installed (scripts/setup installs it)"
    done
}
