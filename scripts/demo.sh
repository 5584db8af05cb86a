#!/usr/bin/env bash
# The demo: a private database, the simulated plant and the reception service, together.
set -euo pipefail
cat <<'MSG'
The KALVIX demo arrives with the running service. At this stage of the project the
foundation is in place (build, settings file, password cipher, event queue and daily log);
run scripts/test.sh to see it checked.
MSG
