#!/usr/bin/env bash
# Installs what is missing, builds, and starts Corvane connected to a simulated logger.
source "$(dirname "$0")/scripts/common.sh"
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

LINK="${CORVANE_SIM_LINK:-/tmp/corvane-com1}"
"$SIM" --slave 1:QTR-8D --link "$LINK" --quiet &
SIM_PID=$!
trap 'kill "$SIM_PID" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    [ -e "$LINK" ] && break
    sleep 0.1
done
INI="$(dirname "$APP")/corvane.ini"
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
"$APP"
