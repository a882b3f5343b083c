// The package option record shared by the programs of the touch-driver package.
#pragma once

struct ConfigMem {
  unsigned char res;                   // resistive controllers are recognised
  unsigned char new_fw;                // resistive controllers use the newer product-ID set
  unsigned char alt_pct_vendors;       // selects the alternative PCT vendor list
  unsigned char disable_8752;          // legacy PCT controllers are reset and left alone
  unsigned char spec_display;          // used by other programs of the package
  unsigned char enable_hidraw;         // used by other programs of the package
  unsigned char en_hide_cursor;        // used by other programs of the package
  unsigned char auto_set_matrix;       // used by other programs of the package
  unsigned char dis_res_hide_cursor;   // used by other programs of the package
  unsigned char login_jour_resolution; // used by other programs of the package
  unsigned char param1;
  unsigned char param2;
  unsigned char param3;
  unsigned char param4;
  unsigned char param5;
};

static_assert(sizeof(ConfigMem) == 15, "the option record is fifteen bytes with no gaps");
