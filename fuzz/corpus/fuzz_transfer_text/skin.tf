# hide air and soft tissue, show bone
alpha 0 0
alpha 999 0
alpha 2500 40
alpha 4095 255
