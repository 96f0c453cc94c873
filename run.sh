#!/usr/bin/env bash
# Installs what is missing, builds, and starts Corvane connected to a simulated logger.
# ./run.sh --verbose lets the simulated logger log every request and reply on this terminal.
source "$(dirname "$0")/scripts/common.sh"
SIM_QUIET=(--quiet)
for arg in "$@"; do
    case "$arg" in
    --verbose) SIM_QUIET=() ;;
    --quiet) SIM_QUIET=(--quiet) ;;
    -h | --help)
        echo "Usage: $0 [--verbose|--quiet]"
        echo "  --verbose  the simulated logger logs each request and reply on standard error"
        echo "  --quiet    it does not (the default)"
        exit 0
        ;;
    *)
        echo "$0: unknown option $arg (see $0 --help)" >&2
        exit 2
        ;;
    esac
done
corvane_install_deps
BUILD_DIR="${CORVANE_BUILD_DIR:-$CORVANE_ROOT/build}"
corvane_build "$BUILD_DIR"

APP="$BUILD_DIR/src/app/corvane"
SIM="$BUILD_DIR/tools/logger-sim/corvane-logger-sim"
missing=()
[ -x "$APP" ] || missing+=("the main window (corvane)")
[ -x "$SIM" ] || missing+=("the simulated logger (corvane-logger-sim)")
if [ ${#missing[@]} -gt 0 ]; then
    echo "Built the libraries and tests. Not there yet: ${missing[*]}."
    echo "Run ./test.sh to run the tests."
    exit 0
fi

# One link per user, so that two users of one machine do not take each other's logger.
LINK="${CORVANE_SIM_LINK:-/tmp/corvane-${USER:-$(id -un)}-com1}"
"$SIM" --slave 1:QTR-8D --link "$LINK" "${SIM_QUIET[@]}" &
SIM_PID=$!
trap 'kill "$SIM_PID" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    [ -e "$LINK" ] && break
    sleep 0.1
done
# A first run gets settings naming the simulated port; later runs keep what Options changed.
INI="$(dirname "$APP")/corvane.ini"
if [ -e "$INI" ]; then
    # Settings from before the link was named per user follow it to the new name.
    sed -i "s|^Name=/tmp/corvane-com1\$|Name=$LINK|" "$INI"
else
    cat > "$INI" <<INI
[Com port]
Name=$LINK
Speed=9600
Parity=None
Data bits=8
Stop bits=1
RTS=0
AutoOpen=1
[Misc]
AutoLoad=0
AutoRead=0
Separator=.
Export separator=;
Response Time=500
INI
fi
"$APP"
