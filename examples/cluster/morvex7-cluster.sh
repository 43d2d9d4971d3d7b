#!/usr/bin/env bash
# The three commands of a morvex7 sweep on a Dask cluster. sweep.sbatch starts them under srun;
# the test suite starts the very same commands on 127.0.0.1.
#
#   morvex7-cluster.sh scheduler FILE           run the Dask scheduler; it writes its address to FILE
#   morvex7-cluster.sh worker FILE              run single-threaded Dask worker processes for FILE
#   morvex7-cluster.sh sweep FILE SWEEP-ARGS... run morvex7-sweep on the cluster of FILE
#
# FILE must be on a file system that every node sees. Settings (environment):
#   MORVEX7_HOST     address to listen on (default: this host's name; 127.0.0.1 for one machine)
#                    (every server of the cluster, its HTTP servers too, listens there only)
#   MORVEX7_PORT     scheduler port (default 8786; 0 picks a free one)
#   MORVEX7_WORKERS  worker processes started by one "worker" command
#                    (default: SLURM_CPUS_PER_TASK, else the number of cores)
#   PYTHON           the Python interpreter (default python3)
set -euo pipefail
PY=${PYTHON:-python3}
HOST=${MORVEX7_HOST:-$(hostname)}
[ $# -ge 2 ] || { sed -n '2,18p' "$0" >&2; exit 2; }
cmd=$1
file=$2
shift 2

wait_for_file() {
  for _ in $(seq 600); do
    [ -s "$file" ] && return 0
    sleep 0.1
  done
  echo "morvex7-cluster.sh: no scheduler file $file after 60 s" >&2
  exit 1
}

case $cmd in
  scheduler)
    exec "$PY" -m distributed.cli.dask_scheduler --host "$HOST" --port "${MORVEX7_PORT:-8786}" \
      --scheduler-file "$file" --no-dashboard --dashboard-address "$HOST:0" ;;
  worker)
    wait_for_file
    exec "$PY" -m distributed.cli.dask_worker --scheduler-file "$file" --host "$HOST" \
      --nworkers "${MORVEX7_WORKERS:-${SLURM_CPUS_PER_TASK:-$(nproc)}}" --nthreads 1 \
      --no-dashboard --dashboard-address "$HOST:0" --local-directory "${TMPDIR:-/tmp}" ;;
  sweep)
    wait_for_file
    exec "$PY" -m morvex7.cli_sweep --scheduler-file "$file" "$@" ;;
  *)
    echo "morvex7-cluster.sh: unknown command $cmd (scheduler, worker or sweep)" >&2
    exit 2 ;;
esac
