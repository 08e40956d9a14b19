# Sourced by the scripts: the LLVM tools they call, by the names the Debian packages that
# scripts/install-deps installs give them.
llvm_version=14
clang_c=clang-$llvm_version
clang_cxx=clang++-$llvm_version
clang_tidy=clang-tidy-$llvm_version
