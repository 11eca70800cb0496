# T1 MRI scaled to 0..4095: tissue in warm tones from dark grey matter to bright white matter and fat.
rgb 0 0 0 0
rgb 500 90 40 35
rgb 900 205 120 105
rgb 1400 240 205 175
rgb 4095 255 250 235
alpha 0 0
alpha 400 0
alpha 900 60
alpha 1400 160
alpha 4095 255
