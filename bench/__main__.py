import os

# BLAS worker threads spin after NumPy calls and would compete with the measured threads
# on a small machine; nothing timed here uses BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from .suite import main  # noqa: E402

main()
