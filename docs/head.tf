# faint skin, ivory bone, red lesions
rgb 1000 210 140 110
rgb 3000 240 230 210
rgb 3400 255 60 40
alpha 0 0
alpha 960 0
alpha 1000 2
alpha 1040 0
alpha 2400 0
alpha 2800 120
alpha 4095 255
