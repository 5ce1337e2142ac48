"""The package toolkit: what a driver team runs on its own package, and what
the build and the release run on ours. One module per job, each job a command:

    python3 -m toolkit.make_catalog FOLDER     the catalog of a package (./build.sh catalog)
    python3 -m toolkit.release_gate FILE...    the checks of binaries and INFs (./build.sh check)
    python3 -m toolkit.finish_binary ...       the build's post-link step
    python3 -m toolkit.symbol_store ...        the release's symbol store
    python3 -m toolkit.write_zip ...           the release's zip

with tools/ on PYTHONPATH. The readers they share: inf_file (an INF as the
device installer reads it), package (a package as 64-bit Windows reads it: the
sections its x64 models reach, the files they copy, its catalog),
compressed (compressed sources), catalog_file (catalogs, on asn1crypto), pe_image (PE files, on
pefile). The checks: binary_check, inf_check, catalog_check."""
