"""Running many files: gathering the inputs, one outcome per input with the
tally that owns the exit status, the local process pool and the Dask
cluster, and the batch operations built on them (convert, info, QC)."""
