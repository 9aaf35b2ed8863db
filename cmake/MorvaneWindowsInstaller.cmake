# The Windows installer (NSIS): see packaging/windows/ and scripts/build-windows.sh.
