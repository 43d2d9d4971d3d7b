// writemodel DIR: writes a small example model into DIR as FTN14, FTN15 and
// fort.50 (two configurations on each side, three band levels), ready for a
// run of the program in DIR.
#include <cstdio>
#include <fstream>
#include <string>

#include "modelwriter/modelwriter.h"

namespace {

mw::Model example() {
  mw::Model m;
  m.nconf_ground = 2;
  m.nconf_excited = 2;
  m.op = "T1";

  m.ground.label = "A1";
  m.ground.dim = 1;
  m.ground.mult = {1, 2, 0};
  m.ground.ham[0] = {{mw::matrix(1, 1, {0.25f}), 1.0f}};
  m.ground.ham[1] = {{mw::matrix(2, 2, {0.5f, 0.125f, 0.125f, -0.5f}), 1.0f},
                     {mw::matrix(2, 2, {1.0f, 0.0f, 0.0f, 1.0f}), 0.2f}};
  m.ground.mix[0] = {{mw::matrix(1, 2, {1.0f, 0.5f}), 0.8f}};

  m.excited.label = "T1";
  m.excited.dim = 3;
  m.excited.mult = {2, 2, 0};
  m.excited.ham[0] = {{mw::matrix(2, 2, {1.0f, 0.25f, 0.25f, 2.0f}), 1.0f}};
  m.excited.ham[1] = {{mw::matrix(2, 2, {-1.0f, 0.0f, 0.0f, 0.75f}), 1.0f}};
  m.excited.mix[0] = {{mw::matrix(2, 2, {0.6f, 0.0f, 0.2f, 0.6f}), 1.0f}};

  m.trans[0][0] = {{mw::matrix(1, 2, {1.0f, 0.375f}), 1.0f}};
  m.trans[1][1] = {{mw::matrix(2, 2, {0.5f, 0.0f, 0.25f, 0.5f}), 1.0f}};
  return m;
}

bool put(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
  return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: writemodel DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const mw::Model m = example();
  const mw::Files files = mw::write_model(m);
  const std::string commands = "N2 3\nN3 1\nW 2.0\nDEL 1.5\nEG2 1.5\nEF2 0.5\n" +
                               mw::command_lines(m) + "TRIADS\n" + mw::triad_line(m) +
                               "\nENDTRIADS\n";
  if (!put(dir + "/FTN14", files.ftn14) || !put(dir + "/FTN15", files.ftn15) ||
      !put(dir + "/fort.50", commands)) {
    std::fprintf(stderr, "writemodel: cannot write into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
