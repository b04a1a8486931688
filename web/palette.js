// SPDX-License-Identifier: MIT
// The angle map's false-colour scale, shared by the worker that draws the
// map and the legend that explains it. It is Green's cubehelix: lightness
// falls evenly along the scale while the hue turns, so that the order of
// colours reads the same in grey and to colour-blind eyes.

export const palette_size = 256;
// The scale's darkest end stays above black, which marks the pixels that
// have no direction (black pixels) and so no angle.
const darkest = 0.15;

// angle_palette[3 * i ... 3 * i + 2]: the colour of step i, from the
// reference's own direction (lightest) to the top of the scale (darkest).
export const angle_palette = (() => {
    const colours = new Uint8Array(3 * palette_size);
    const start = 0.5, rotations = -1.5, saturation = 1.2;
    for (let i = 0; i < palette_size; ++i) {
        const lightness = 1 - (1 - darkest) * i / (palette_size - 1);
        const phase = 2 * Math.PI * (start / 3 + 1 + rotations * lightness);
        const amplitude = saturation * lightness * (1 - lightness) / 2;
        const c = Math.cos(phase), s = Math.sin(phase);
        const rgb = [lightness + amplitude * (-0.14861 * c + 1.78277 * s),
                     lightness + amplitude * (-0.29227 * c - 0.90649 * s),
                     lightness + amplitude * (1.97294 * c)];
        rgb.forEach((v, k) => { colours[3 * i + k] = Math.round(255 * Math.min(1, Math.max(0, v))); });
    }
    return colours;
})();

// The angle, in radians, that the scale's darkest end stands for: twice
// theta, so that theta sits in the middle and the pixels just inside and
// just outside the cone differ most; all of 0 to pi for theta that is not
// a positive number or is past pi / 2. Larger angles take the darkest step.
export function angle_scale_top(max_angle) {
    return max_angle > 0 && max_angle < Math.PI / 2 ? 2 * max_angle : Math.PI;
}

// The palette step of an angle, for a scale that ends at `top`.
export function palette_step(angle, top) {
    return Math.min(palette_size - 1, Math.floor(angle / top * palette_size));
}
