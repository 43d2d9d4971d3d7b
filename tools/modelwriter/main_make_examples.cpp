// make_examples DIR: writes the shipped example directories under DIR
// (DIR/charge_transfer, DIR/fine_band, DIR/krylov_band and DIR/auger_resonance), each with
// FTN14, FTN15 and fort.50, from the models below.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "modelwriter/example_models.h"
#include "modelwriter/modelwriter.h"

namespace {


std::string charge_transfer_commands(const mw::Model& m, int n2 = 4, int n3 = 3) {
  return "% Charge-transfer model of a d0 ion: absorption spectrum\n"
         "N2 " + std::to_string(n2) + " N3 " + std::to_string(n3) + " W 2.0 DIP 1.0\n"
         "DEL 3.0 UCV 5.0 UVV 4.0\n" +
         mw::command_lines(m) +
         "DEF EG1 = 0.0UNITY\n"
         "DEF EG2 = DEL\n"
         "DEF EG3 = 2DEL + UVV\n"
         "DEF EF1 = 0.0UNITY\n"
         "DEF EF2 = DEL - UCV\n"
         "DEF EF3 = 2DEL + UVV - 2UCV\n"
         "ERANGE 0.001\n"
         "TRIADS\n" +
         mw::triad_line(m) + "\nENDTRIADS\n";
}

// The charge-transfer model with 20 x 20 band levels (863 core-hole states),
// twice: its spectrum from 100 Lanczos steps, then the exact one.
std::string krylov_commands(const mw::Model& m) {
  std::string first = charge_transfer_commands(m, 20, 20);
  first.insert(first.find("TRIADS\n"), "KRYLOV 100\n");
  return first + "% the same spectrum, exact\nKRYLOV 0\nTRIADS\n" + mw::triad_line(m) +
         "\nENDTRIADS\n";
}

// Resonant Auger decay through two intermediate states into one decay
// channel, whose continuum is discretised into eight states (diagonal
// elements carry the channel tag 1000).
mw::Model auger_resonance() {
  mw::Model m;
  m.nconf_ground = 1;
  m.nconf_excited = 1;
  m.op = "T1U";
  m.ground.label = "A1G";
  m.ground.dim = 1;
  m.ground.mult = {1, 0, 0};
  m.excited.label = "T1U";
  m.excited.dim = 1;
  m.excited.mult = {10, 0, 0};
  mw::Matrix h = mw::zeros(10, 10);
  h.at(1, 1) = 0.0f;
  h.at(2, 2) = 1.5f;
  for (int b = 0; b < 8; ++b) {
    const int s = 3 + b;
    h.at(s, s) = 1000.0f + (-3.0f + 1.0f * static_cast<float>(b));
    h.at(1, s) = h.at(s, 1) = 0.12f;
    h.at(2, s) = h.at(s, 2) = (b % 2 == 0) ? 0.10f : -0.08f;
  }
  m.excited.ham[0] = {{h, 1.0f}};
  mw::Matrix t = mw::zeros(1, 10);
  t.at(1, 1) = 1.0f;
  t.at(1, 2) = 0.6f;
  for (int b = 0; b < 8; ++b) t.at(1, 3 + b) = 0.05f;
  m.trans[0][0] = {{t, 1.0f}};
  return m;
}

std::string auger_commands(const mw::Model& m) {
  return "% Resonant Auger decay through two intermediate states\n"
         "N2 1 N3 1 W 0.0 DIP 1.0\n" +
         mw::command_lines(m) +
         "AUGER\n"
         "  NOMEGA 22 ESTART -2.0 ESTEP 0.25\n"
         "  GAMMA 0.1\n"
         "  NO 1 DIP 3.6878178 CI 1.0\n"
         "  DEF EF1 = 2.0UNITY\n"
         "ENDAUGER\n"
         "TRIADS\n" +
         mw::triad_line(m) + "\nENDTRIADS\n";
}

bool put(const std::filesystem::path& p, const std::string& text) {
  std::ofstream f(p, std::ios::binary);
  f << text;
  return static_cast<bool>(f);
}

bool write_example(const std::filesystem::path& dir, const mw::Model& m,
                   const std::string& commands) {
  std::filesystem::create_directories(dir);
  const mw::Files f = mw::write_model(m);
  return put(dir / "FTN14", f.ftn14) && put(dir / "FTN15", f.ftn15) &&
         put(dir / "fort.50", commands);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_examples DIR\n");
    return 2;
  }
  const std::filesystem::path root = argv[1];
  const mw::Model ct = mw::charge_transfer_example();
  const mw::Model au = auger_resonance();
  if (!write_example(root / "charge_transfer", ct, charge_transfer_commands(ct)) ||
      !write_example(root / "fine_band", ct, charge_transfer_commands(ct, 10, 8)) ||
      !write_example(root / "krylov_band", ct, krylov_commands(ct)) ||
      !write_example(root / "auger_resonance", au, auger_commands(au))) {
    std::fprintf(stderr, "make_examples: cannot write into %s\n", argv[1]);
    return 1;
  }
  return 0;
}
