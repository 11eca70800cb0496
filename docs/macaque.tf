# macaque brain: soft grey matter, bright white matter
rgb 600 200 120 100
rgb 1100 235 200 170
rgb 1500 255 245 230
alpha 0 0
alpha 600 0
alpha 900 18
alpha 1400 120
alpha 4095 255
