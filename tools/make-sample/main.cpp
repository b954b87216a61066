// kelo-make-sample FILE: writes the sample receipt (examples/receipt.png).

#include <cstdio>
#include <string>

#include "tools/make-sample/sample_receipt.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kelo-make-sample FILE.png\n");
    return 2;
  }
  std::string error;
  if (!kelo::sample::WriteGreyPng(kelo::sample::DrawSampleReceipt(), argv[1], &error)) {
    std::fprintf(stderr, "kelo-make-sample: cannot write %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  return 0;
}
