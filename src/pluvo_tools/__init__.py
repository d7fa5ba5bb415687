"""Commands and helpers around the pluvo module: the `pluvo` command, the file writer, Dask
collections of many files."""
